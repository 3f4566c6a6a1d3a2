// Building messages in a store for tests and for the `tolvane-mapi deliver`
// command (not part of the Windows SDK).
//
// A MessageDef lists exactly the values, recipients and attachments a
// message gets; addMessage stores it in a folder of a profile's store
// through the store's own IMessage/IAttach interfaces (so what a test
// builds is stored the way any client's message is) and returns its entry
// identifier. Nothing is added that the MessageDef does not name, except
// what the store itself keeps: PR_MESSAGE_SIZE, PR_HASATTACH (true when
// there are attachments), MSGFLAG_HASATTACH, PR_CREATION_TIME,
// PR_LAST_MODIFICATION_TIME, PR_ATTACH_SIZE and, for a message with
// recipients, PR_DISPLAY_TO, PR_DISPLAY_CC and PR_DISPLAY_BCC. Give
// PR_MESSAGE_FLAGS (0 = unread) when it matters: a message without it is
// stored as MSGFLAG_READ | MSGFLAG_UNSENT, like any new message (embedded
// messages too).
//
// Example:
//   mapifixture::MessageDef m;
//   m.props = {mapifixture::Value::String(PR_SUBJECT_A, "Hello"),
//              mapifixture::Value::Long(PR_MESSAGE_FLAGS, 0)};
//   m.recipients.push_back(mapifixture::Recipient::make(MAPI_TO, "Ann", "ann@example.com"));
//   m.attachments.push_back(mapifixture::Attachment::file("a.txt", "data"));
//   std::string eid, error;
//   HRESULT hr = mapifixture::addMessage("alice", m, eid, error);
//
// Huge values: Value::Generated gives a string or binary value of any size
// whose bytes a function produces piece by piece; it is written through a
// stream and never held in memory whole.
#ifndef TOLVANE_MAPIFIXTURE_H
#define TOLVANE_MAPIFIXTURE_H

#include <mapidefs.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mapifixture {

// One property value. Which member holds it follows PROP_TYPE(tag):
// integers, booleans and times (FILETIME as a 64-bit number) in i; PT_DOUBLE
// in d; PT_STRING8 (UTF-8), PT_UNICODE (UTF-8) and PT_BINARY in bytes;
// PT_MV_STRING8 in mv.
struct Value {
  ULONG tag = 0;
  int64_t i = 0;
  double d = 0.0;
  std::string bytes;
  std::vector<std::string> mv;
  // Generated values (PT_STRING8, PT_UNICODE or PT_BINARY): size bytes,
  // produced by generate(offset, buffer, count).
  uint64_t size = 0;
  std::function<void(uint64_t offset, char* buf, size_t n)> generate;

  static Value Long(ULONG tag, LONG v);
  static Value Bool(ULONG tag, bool v);
  static Value Time(ULONG tag, const FILETIME& ft);
  // Seconds since 1970-01-01 UTC, as a PT_SYSTIME value.
  static Value UnixTime(ULONG tag, int64_t seconds);
  static Value String(ULONG tag, std::string v);
  static Value Binary(ULONG tag, std::string v);
  static Value MultiString(ULONG tag, std::vector<std::string> v);
  static Value Generated(ULONG tag, uint64_t size, std::function<void(uint64_t, char*, size_t)> generate);
};

struct Recipient {
  std::vector<Value> props;
  // PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_EMAIL_ADDRESS and PR_ADDRTYPE
  // ("SMTP").
  static Recipient make(ULONG type, const std::string& name, const std::string& address);
};

struct MessageDef;

struct Attachment {
  std::vector<Value> props;
  // The attachment's message (give PR_ATTACH_METHOD ATTACH_EMBEDDED_MSG).
  std::shared_ptr<MessageDef> embedded;

  // ATTACH_BY_VALUE with PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME and
  // PR_ATTACH_DATA_BIN.
  static Attachment file(const std::string& name, std::string data);
  // ATTACH_EMBEDDED_MSG with PR_DISPLAY_NAME and the message.
  static Attachment message(const std::string& displayName, MessageDef def);
};

struct MessageDef {
  std::vector<Value> props;
  std::vector<Recipient> recipients;
  std::vector<Attachment> attachments;
};

enum class Folder { Inbox, Outbox, SentItems, DeletedItems, Drafts };

// Stores a message in `folder` of a store: `store` is a profile name, or
// the path of a store file when it contains a '/'. entryId receives the new
// message's entry identifier (the PR_ENTRYID bytes). On failure, error says
// what failed and nothing is stored.
HRESULT addMessage(const std::string& store, const MessageDef& def, std::string& entryId, std::string& error,
                   Folder folder = Folder::Inbox);

// Stores many messages in one store transaction (all or none), for large
// folders: entryIds receives their identifiers in order.
HRESULT addMessages(const std::string& store, const std::vector<MessageDef>& defs, std::vector<std::string>& entryIds,
                    std::string& error, Folder folder = Folder::Inbox);

}  // namespace mapifixture

#endif  // TOLVANE_MAPIFIXTURE_H
