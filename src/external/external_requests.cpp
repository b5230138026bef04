// External requests; none is obeyed yet.
#include "external_requests.h"

void processExternalCommand(long, long, long, long, long) {}
