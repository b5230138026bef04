// The address book dialog; until it is built the menu entry says that it is not there yet.
#include "address_book.h"

#include "core/log.h"

void popup_AddressBook() { log_msg0("Address book is not available in this build"); }
