#pragma once
// The recipients page's "Address Book...": the entries the user picks in the address book
// dialog go into the recipients list through the page's own Add, one after another.
namespace sendmere {

class frmNew;

// Picks recipients through the mail library's utility object when it can be created,
// otherwise through the messaging session, and adds every entry that has a fax number.
void SelectFromAddressBook(frmNew &page);

}  // namespace sendmere
