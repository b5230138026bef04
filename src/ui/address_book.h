#pragma once
// The address book dialog: browsing the private and public books.

// Shows the address book. Until the dialog exists this tells the user so.
void popup_AddressBook();
