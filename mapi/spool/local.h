// The embedded `local` transport: mail for an address of a profile of the
// same home goes into that profile's Inbox (as `tolvane-mapi deliver` puts
// it there), mail for any other address into the sending profile's
// outgoing folder, where a network transport takes it later.
//
// Which addresses are local: those whose domain is the domain of some
// profile of the home. Such an address that no profile has is an unknown
// local recipient (a non-delivery report); every other domain goes to the
// outgoing folder. Addresses compare without regard to case.
#ifndef TOLVANE_SPOOL_LOCAL_H
#define TOLVANE_SPOOL_LOCAL_H

#include <tolvane/spool.h>

#include <mapidefs.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tmapi {

// The addresses of the profiles of the home.
class LocalAddresses {
 public:
  HRESULT load(std::string& error);
  // The profile that has this address; "" when none.
  std::string profileOf(const std::string& address) const;

 private:
  std::map<std::string, std::string> m_profileByAddress;  // lower case
};

// A private temporary file (owner-only, never linked into a folder while
// it is written: O_TMPFILE in the home, else created and at once removed in
// the system's temporary folder). Closed when the object goes.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  HRESULT create(const std::string& preferredDir, std::string& error);
  int fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

// Delivers the RFC 5322 message in fd (read from its start) into the Inbox
// of a profile of the home.
HRESULT deliverToProfile(const std::string& profile, int fd, std::string& error);

// The same, keeping each profile's logon open for the next message, so
// that a spooler sending many messages to the same mailboxes logs on once
// per mailbox, not once per message. A logon whose delivery failed is
// dropped (the next delivery logs on afresh).
class LocalDeliveries {
 public:
  LocalDeliveries();
  ~LocalDeliveries();
  LocalDeliveries(const LocalDeliveries&) = delete;
  LocalDeliveries& operator=(const LocalDeliveries&) = delete;
  HRESULT deliver(const std::string& profile, int fd, std::string& error);
  void clear();

 private:
  struct Logons;
  Logons* m_logons;
};

// The envelope of a message in the outgoing folder.
struct OutgoingEnvelopeData {
  std::string sender;
  std::vector<std::string> recipients;
  std::string messageId;
};

// Writes the message in fd as DIR/BASE.eml and its envelope as
// DIR/BASE.envelope: each under a private name first, synced, then renamed
// into place (the .eml first; the envelope completes the pair). An existing
// pair of the same name is replaced, so writing again after a crash leaves
// one pair.
HRESULT writeOutgoing(const std::string& dir, const std::string& base, int fd, const OutgoingEnvelopeData& envelope,
                      std::string& error);
HRESULT readOutgoing(const std::string& dir, std::vector<mapispool::OutgoingMessage>& messages, std::string& error);

// Folders of the home, made owner-only when missing.
std::string outgoingDirOf(const std::string& profile);
bool makePrivateDir(const std::string& dir, std::string& error);

// The lower-case domain of an address ("" without '@').
std::string domainOf(const std::string& address);
std::string lowerCase(std::string text);

}  // namespace tmapi

#endif
