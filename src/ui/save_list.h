#pragma once
// The dialog that saves the selected receivers as an address book.

// Shows the save dialog for the selected rows. Until the dialog exists this tells the user so.
void popup_SaveList();
