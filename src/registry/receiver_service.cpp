// The consent handshake with receiver hosts; placeholders until the handshake lands.
#include "receiver_service.h"

int CallReceiver(unsigned long) { return -1; }
void AnswerFunc(XtPointer, int *, XtInputId *) {}
int ShareWindowPending(unsigned long, unsigned long, int) { return 0; }
int UnshareWindowPending(unsigned long, unsigned long) { return 0; }
int ClosePendingConnection(unsigned long) { return 0; }
