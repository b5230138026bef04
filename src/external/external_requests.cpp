// External requests; none is obeyed yet.
#include "external_requests.h"

void processExternalCommand(long, long, long, long, long) {}

// No requester can be waiting while no request is obeyed.
void sendEXTStatusMessage(unsigned long, int, unsigned long) {}
