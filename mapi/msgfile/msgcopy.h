// IMAPIProp::CopyTo and CopyProps of the messages and attachments that
// IMsgOnIStg holds.
#ifndef TOLVANE_MAPI_MSGFILE_MSGCOPY_H
#define TOLVANE_MAPI_MSGFILE_MSGCOPY_H

#include "msgfile/msgdata.h"

#include <mapidefs.h>

#include <string>
#include <vector>

namespace tmapi {
namespace msgfile {

// Which properties go: all but `ids` (CopyTo's exclusions), or only `ids`
// (CopyProps). The ids of PR_MESSAGE_RECIPIENTS and PR_MESSAGE_ATTACHMENTS
// stand for the recipients and the attachments.
struct CopySelection {
  bool include = false;
  std::vector<ULONG> ids;
  bool noReplace = false;  // MAPI_NOREPLACE
  bool wants(ULONG id) const;
};

// Copies into `dest` without saving it; attachments and embedded messages
// made in it are saved, as they must be to become part of it.
HRESULT copyMessageTo(const MsgData& msg, const NameMap& names, const CopySelection& sel, IMessage* dest,
                      std::string& error);
HRESULT copyAttachTo(const AttachData& att, const NameMap& names, const CopySelection& sel, IAttach* dest,
                     std::string& error);

}  // namespace msgfile
}  // namespace tmapi

#endif
