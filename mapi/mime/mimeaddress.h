// Internet addresses of outgoing mail: what a recipient row, the sender
// properties or a reply-to entry become in the headers and the SMTP
// envelope. An Internet address is taken as it is; a name the address book
// resolved (an "EX" address, a name without a domain) gives the SMTP
// address of its address-book entry.
#ifndef TOLVANE_MIME_MIMEADDRESS_H
#define TOLVANE_MIME_MIMEADDRESS_H

#include <mapidefs.h>
#include <mapix.h>

#include <string>
#include <vector>

namespace mapimime {

// The UTF-8 text of a string value: PT_UNICODE, or PT_STRING8 in the
// process code page (UTF-8; bytes that are not are read as windows-1252).
// "" for other types.
std::string propText(const SPropValue& value);
// The strings of a PT_MV_STRING8 or PT_MV_UNICODE value.
std::vector<std::string> propTexts(const SPropValue& value);

// What a message names of one person.
struct AddressParty {
  std::string name;
  std::string addrType;
  std::string address;
  std::string smtp;     // PR_SMTP_ADDRESS or the like, when the message has it
  std::string entryId;  // the address-book entry identifier, when there is one
};

struct ResolvedAddress {
  bool ok = false;
  std::string name;     // the party's name, else the address book's
  std::string address;  // an address validAddress() accepts
  std::string problem;  // why not, when !ok
};

// The SMTP address of an address-book entry: its PR_SMTP_ADDRESS, else its
// primary "SMTP:" proxy address, else another "smtp:" one, else its own
// address when that is of type SMTP. `found` is false when the address book
// does not know the entry or the entry has no SMTP address; a failure of
// the address book itself (busy, broken) fails the call.
HRESULT lookUpSmtpAddress(LPADRBOOK book, const std::string& entryId, std::string& address, std::string& name,
                          bool& found, std::string& error);

// The SMTP address of a party: its address when that is an Internet address
// (type SMTP or none, with a domain), else its SMTP address, else the
// address book's (when `book` is given). Not resolved: `problem` says why,
// naming the party as `who` ("recipient", "sender").
HRESULT resolveAddress(const AddressParty& party, LPADRBOOK book, const char* who, ResolvedAddress& resolved,
                       std::string& error);

}  // namespace mapimime

#endif
