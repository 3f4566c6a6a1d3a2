// The MAPI interface identifiers the library asks for, defined here once for
// the Windows build. On Windows a MAPI client supplies these itself (mapi32
// exports none of them): <initguid.h> turns mapiguid.h's declarations into
// definitions, and each USES_IID_ names one that this module defines. The
// COM headers come first, without INITGUID, so that only the MAPI
// identifiers named here are defined, not every GUID of the Windows headers.
// Linux gets the identifiers from the MAPI subsystem; this file is built for
// Windows only.
#include <objbase.h>

#define USES_IID_IMAPISession
#define USES_IID_IMAPITable
#define USES_IID_IMAPIProp
#define USES_IID_IMsgStore
#define USES_IID_IMAPIFolder
#define USES_IID_IMAPIContainer
#define USES_IID_IMessage
#define USES_IID_IAttachment
#define USES_IID_IAddrBook
#define USES_IID_IMailUser

#include <initguid.h>
#include <mapiguid.h>
