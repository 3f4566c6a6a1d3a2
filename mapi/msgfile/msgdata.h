// The content of a message held by IMsgOnIStg until SaveChanges writes it:
// properties, recipient rows, attachments (with their data) and embedded
// messages, plus the named-property map of the whole file.
#ifndef TOLVANE_MAPI_MSGFILE_MSGDATA_H
#define TOLVANE_MAPI_MSGFILE_MSGDATA_H

#include "msgfile/spool.h"
#include "runtime/prop.h"

#include <objbase.h>
#include <mapidefs.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tmapi {
namespace msgfile {

// Tags that mapitags.h (the SDK's old list) does not carry.
constexpr ULONG kPrBodyHtmlA = 0x1013001E;  // PR_BODY_HTML_A
constexpr ULONG kPrBodyHtmlW = 0x1013001F;  // PR_BODY_HTML_W
constexpr ULONG kPrHtml = 0x10130102;       // PR_HTML
constexpr ULONG kPrMessageCodepage = 0x3FFD0003;
constexpr ULONG kPrInternetCpid = 0x3FDE0003;
constexpr ULONG kStoreUnicodeOk = 0x00040000;
constexpr ULONG kStoreHtmlOk = 0x00010000;
constexpr LONG kCodepageUtf8 = 65001;

// One property. A string or binary value written through a stream keeps its
// bytes in `big` (PT_BINARY and PT_STRING8: the bytes; PT_UNICODE: UTF-16LE)
// instead of prop.bytes.
struct Value {
  Prop prop;
  std::shared_ptr<Spool> big;
};

// Length of the big bytes without a trailing string terminator.
uint64_t bigLength(const Value& v);

// Keyed by property id: an object holds one value per id.
using PropMap = std::map<ULONG, Value>;

struct MsgData;

struct AttachData {
  PropMap props;
  std::shared_ptr<const MsgData> embedded;  // PR_ATTACH_DATA_OBJ
};

struct MsgData {
  PropMap props;
  std::vector<PropRow> recipients;  // each with its PR_ROWID
  ULONG nextRowId = 0;
  std::map<ULONG, std::shared_ptr<const AttachData>> attachments;  // by PR_ATTACH_NUM
  ULONG nextAttachNum = 0;
};

// Named properties of one file (the top message and everything in it).
struct NamedProp {
  GUID guid;
  ULONG kind;        // MNID_ID or MNID_STRING
  LONG id = 0;       // MNID_ID
  std::string name;  // MNID_STRING, UTF-8
};
struct NameMap {
  std::vector<NamedProp> props;  // property id 0x8000 + index
  // Index of the name, or -1.
  int find(const MAPINAMEID& name) const;
};

// Writes the message into `stg` in the Outlook item layout. `top` selects the
// top-level form (the named-property map, the 32-byte header); an embedded
// message is written with the 24-byte header.
HRESULT writeMessage(const MsgData& msg, const NameMap& names, bool top, IStorage* stg, std::string& error);

// A value whose big bytes are loaded, when they fit in `limit`; otherwise
// false.
bool loadValue(const Value& v, uint64_t limit, Prop& out);

}  // namespace msgfile
}  // namespace tmapi

#endif
