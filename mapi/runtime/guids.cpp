// The interface identifiers of the subsystem, defined once for the library.
// mapiguid.h defines only the identifiers named by a USES_ macro here.
#define INITGUID
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
#define USES_IID_IMAPIAdviseSink
#define USES_IID_IMAPIProgress
#define USES_IID_IABContainer
#define USES_IID_IDistList

#include <objbase.h>
#include <mapiguid.h>

// The COM identifiers that objbase.h declares.
DEFINE_OLEGUID(IID_IUnknown, 0x00000000, 0, 0);
DEFINE_OLEGUID(IID_IMalloc, 0x00000002, 0, 0);
DEFINE_GUID(IID_ISequentialStream, 0x0c733a30, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d);
DEFINE_OLEGUID(IID_IStream, 0x0000000c, 0, 0);
DEFINE_OLEGUID(IID_IStorage, 0x0000000b, 0, 0);
DEFINE_OLEGUID(IID_IEnumSTATSTG, 0x0000000d, 0, 0);
DEFINE_GUID(GUID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
