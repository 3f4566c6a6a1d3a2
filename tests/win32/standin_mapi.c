/*
 * A stand-in MAPI provider for running the Windows DLL under Wine.
 *
 * Wine's mapi32 hands MAPIInitialize, MAPILogonEx, MAPIUninitialize and
 * HrQueryAllRows to the DLL that the registry names as the default mail
 * client's extended MAPI (HKLM\Software\Clients\Mail\<client>\DLLPathEx);
 * everything else of MAPI (MAPIAllocateBuffer, MAPIFreeBuffer, FreeProws,
 * HrGetOneProp, HrSetOneProp, FreePadrlist, ...) stays Wine's own. This DLL
 * is that provider: a fixed profile whose session serves just what the JNI
 * library asks of a logon, an Inbox walk and a message composed and
 * submitted, and nothing more. Buffers it hands out come from mapi32's
 * MAPIAllocateBuffer, so the library frees them with the same allocator.
 *
 * What it serves is chosen per run (StandinConfigure, called by the test
 * program before it loads the library):
 *
 *   init-fails   MAPIInitialize fails, leaving ERROR_FILE_NOT_FOUND as the
 *                thread's last error
 *   logon-fails  MAPILogonEx fails with MAPI_E_LOGON_FAILED
 *   no-stores    the session's store table is empty
 *   store-fails  the default store exists but OpenMsgStore fails; the
 *                session's error record explains why
 *   inbox        a default store (after a second, non-default one) whose
 *                Inbox holds `messages` messages with subject, body, sender,
 *                one To recipient, Internet message id, priority and dates;
 *                the store names no Outbox
 *   compose      the same store naming its Outbox, where messages can be
 *                created, composed and submitted
 *
 * Every store has a folder hierarchy (the root, "Top of Information Store",
 * and under it Inbox, Outbox and Sent Items) and every session an address
 * book that resolves one name and makes one-off entries. A message created
 * in the Outbox keeps what it is given (properties, recipients, saved
 * attachments with their data, named properties) in a record of its own,
 * which the test program reads back for the last message submitted
 * (StandinSubmitted).
 *
 * A method the stand-in does not serve ends the process with exit code 90 and
 * names the interface and the vtable slot, so that the run shows what the
 * library asked for. The test program reads the counts of what happened
 * (StandinCount), the last logon's and one-off entry's arguments
 * (StandinText) and the submitted message (StandinSubmitted).
 */
#define COBJMACROS
#include <windows.h>

#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <objbase.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#define STANDIN_EXIT_UNSERVED 90

#define TAG_INTERNET_MESSAGE_ID_A PROP_TAG(PT_STRING8, 0x1035)
#define TAG_BODY_HTML_A PROP_TAG(PT_STRING8, 0x1013)
#define TAG_SMTP_ADDRESS_A PROP_TAG(PT_STRING8, 0x39FE)

/* ---- what a composed message received ------------------------------------------ */

/* One property as it was set: the bytes of a string with its terminator, of
   a binary, or of the scalar itself (PT_LONG, PT_BOOLEAN, PT_SYSTIME). */
typedef struct Value {
  ULONG tag;
  ULONG size;
  BYTE* data;
} Value;

#define BAG_MAX 24
typedef struct Bag {
  ULONG count;
  Value values[BAG_MAX];
} Bag;

typedef struct Composed Composed;

typedef struct Attachment {
  Bag props; /* PR_ATTACH_DATA_BIN among them, written through its stream */
  Composed* message;
  BOOL saved; /* IAttach::SaveChanges ran: it is one of the message's */
} Attachment;

#define RECIPIENTS_MAX 8
#define ATTACHMENTS_MAX 4
struct Composed {
  Bag props;
  Bag recipients[RECIPIENTS_MAX];
  ULONG recipientCount;
  Attachment* attachments[ATTACHMENTS_MAX]; /* the saved ones, in the order saved */
  ULONG attachmentCount;
  ULONG attachNumbers; /* CreateAttach calls */
  LONG saves;          /* IMessage::SaveChanges calls */
  LONG savesBeforeSubmit;
};

/* The records live as long as the process: the test reads them after the
   library released everything. */
static Composed g_composed[8];
static Attachment g_attachmentRecords[16];
static ULONG g_composedCount, g_attachmentRecordCount;
static Composed* g_submitted; /* the last message SubmitMessage ran on */

/* Named properties of the store: (set, name) to an id from 0x8000 on. */
typedef struct NamedProp {
  GUID set;
  char name[64];
} NamedProp;
static NamedProp g_names[16];
static ULONG g_nameCount;

/* PS_INTERNET_HEADERS {00020386-0000-0000-C000-000000000046} */
static const GUID kInternetHeaders = {0x00020386, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

static Value* bagFind(Bag* bag, ULONG tag) {
  ULONG i;
  for (i = 0; i < bag->count; ++i)
    if (PROP_ID(bag->values[i].tag) == PROP_ID(tag)) return &bag->values[i];
  return NULL;
}

/* Sets (or replaces: one value per property id) tag to size bytes. */
static HRESULT bagPut(Bag* bag, ULONG tag, const void* data, ULONG size) {
  Value* v = bagFind(bag, tag);
  BYTE* copy = (BYTE*)HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
  if (!copy) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (!v) {
    if (bag->count == BAG_MAX) {
      HeapFree(GetProcessHeap(), 0, copy);
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    v = &bag->values[bag->count++];
  } else {
    HeapFree(GetProcessHeap(), 0, v->data);
  }
  if (size) memcpy(copy, data, size);
  v->tag = tag;
  v->size = size;
  v->data = copy;
  return S_OK;
}

static HRESULT bagSet(Bag* bag, const SPropValue* v) {
  switch (PROP_TYPE(v->ulPropTag)) {
    case PT_STRING8:
      if (!v->Value.lpszA) return MAPI_E_INVALID_PARAMETER;
      return bagPut(bag, v->ulPropTag, v->Value.lpszA, (ULONG)strlen((const char*)v->Value.lpszA) + 1);
    case PT_BINARY:
      if (!v->Value.bin.lpb && v->Value.bin.cb) return MAPI_E_INVALID_PARAMETER;
      return bagPut(bag, v->ulPropTag, v->Value.bin.lpb, v->Value.bin.cb);
    case PT_LONG:
      return bagPut(bag, v->ulPropTag, &v->Value.l, sizeof v->Value.l);
    case PT_BOOLEAN:
      return bagPut(bag, v->ulPropTag, &v->Value.b, sizeof v->Value.b);
    case PT_SYSTIME:
      return bagPut(bag, v->ulPropTag, &v->Value.ft, sizeof v->Value.ft);
    default:
      fprintf(stderr, "stand-in MAPI: a property of type 0x%04lX was set (0x%08lX); the stand-in keeps none\n",
              (unsigned long)PROP_TYPE(v->ulPropTag), (unsigned long)v->ulPropTag);
      fflush(stderr);
      return MAPI_E_INVALID_TYPE;
  }
}

static void hexOf(const BYTE* data, ULONG size, char* out, size_t room) {
  ULONG i;
  out[0] = '\0';
  for (i = 0; i < size && (size_t)(i + 1) * 2 < room; ++i) snprintf(out + 2 * i, 3, "%02X", data[i]);
}

static LONG namedId(const GUID* set, const char* name) {
  ULONG i;
  for (i = 0; i < g_nameCount; ++i)
    if (IsEqualGUID(&g_names[i].set, set) && strcmp(g_names[i].name, name) == 0) return (LONG)(0x8000 + i);
  return -1;
}

/* ---- configuration and counts ------------------------------------------------ */

enum Scenario { SC_INBOX, SC_COMPOSE, SC_INIT_FAILS, SC_LOGON_FAILS, SC_NO_STORES, SC_STORE_FAILS };

static enum Scenario g_scenario = SC_INBOX;
static int g_messages = 3;

static LONG g_initialize, g_uninitialize, g_logon, g_logoff, g_live, g_deleted, g_passwordGiven;
static LONG g_createMessage, g_submit, g_resolveName, g_oneOff;
static ULONG g_logonFlags;
static char g_profile[256];
static char g_oneOffArgs[256], g_oneOffEntry[512];

int WINAPI StandinConfigure(const char* scenario, int messages) {
  static const struct {
    const char* name;
    enum Scenario value;
  } names[] = {{"inbox", SC_INBOX},
               {"compose", SC_COMPOSE},
               {"init-fails", SC_INIT_FAILS},
               {"logon-fails", SC_LOGON_FAILS},
               {"no-stores", SC_NO_STORES},
               {"store-fails", SC_STORE_FAILS}};
  size_t i;
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    if (strcmp(names[i].name, scenario) == 0) {
      g_scenario = names[i].value;
      g_messages = messages;
      g_initialize = g_uninitialize = g_logon = g_logoff = g_deleted = g_passwordGiven = 0;
      g_createMessage = g_submit = g_resolveName = g_oneOff = 0;
      g_logonFlags = 0;
      g_profile[0] = g_oneOffArgs[0] = g_oneOffEntry[0] = '\0';
      return 1;
    }
  }
  return 0;
}

/* The count named, or -1 for a name it does not know. "live" is the number
   of the stand-in's objects not yet released; "recipients", "attachments"
   and "savedBeforeSubmit" (its IMessage::SaveChanges calls before
   SubmitMessage) describe the last message submitted. */
LONG WINAPI StandinCount(const char* name) {
  if (strcmp(name, "MAPIInitialize") == 0) return g_initialize;
  if (strcmp(name, "MAPIUninitialize") == 0) return g_uninitialize;
  if (strcmp(name, "MAPILogonEx") == 0) return g_logon;
  if (strcmp(name, "Logoff") == 0) return g_logoff;
  if (strcmp(name, "live") == 0) return g_live;
  if (strcmp(name, "DeleteMessages") == 0) return g_deleted;
  if (strcmp(name, "password") == 0) return g_passwordGiven;
  if (strcmp(name, "logonFlags") == 0) return (LONG)g_logonFlags;
  if (strcmp(name, "CreateMessage") == 0) return g_createMessage;
  if (strcmp(name, "SubmitMessage") == 0) return g_submit;
  if (strcmp(name, "ResolveName") == 0) return g_resolveName;
  if (strcmp(name, "CreateOneOff") == 0) return g_oneOff;
  if (strcmp(name, "recipients") == 0) return g_submitted ? (LONG)g_submitted->recipientCount : -1;
  if (strcmp(name, "attachments") == 0) return g_submitted ? (LONG)g_submitted->attachmentCount : -1;
  if (strcmp(name, "savedBeforeSubmit") == 0) return g_submitted ? g_submitted->savesBeforeSubmit : -1;
  return -1;
}

/* "profile": the last logon's profile name; "oneoff": the last one-off
   entry's name, address type and address ("name|type|address");
   "oneoffEntry": the entry identifier made for it, in hex. */
const char* WINAPI StandinText(const char* name) {
  if (strcmp(name, "profile") == 0) return g_profile;
  if (strcmp(name, "oneoff") == 0) return g_oneOffArgs;
  if (strcmp(name, "oneoffEntry") == 0) return g_oneOffEntry;
  return "";
}

/* A value of the last message submitted, as text: of the message itself
   ("message"), of its recipient or saved attachment number `index` in the
   order they came ("recipient", "attachment"; an attachment's data is its
   PR_ATTACH_DATA_BIN), or the Internet header NAME, a named property of
   PS_INTERNET_HEADERS ("header NAME"; tag is ignored). Strings as they are,
   PT_BINARY in hex, PT_LONG and PT_BOOLEAN in decimal, PT_SYSTIME as the
   FILETIME's 100 ns ticks in decimal. NULL when it has no value of tag's
   type. */
const char* WINAPI StandinSubmitted(const char* what, int index, ULONG tag) {
  static char text[16384];
  Bag* bag = NULL;
  const Value* v;
  if (!g_submitted) return NULL;
  if (strcmp(what, "message") == 0) {
    bag = &g_submitted->props;
  } else if (strcmp(what, "recipient") == 0) {
    if (index >= 0 && (ULONG)index < g_submitted->recipientCount) bag = &g_submitted->recipients[index];
  } else if (strcmp(what, "attachment") == 0) {
    if (index >= 0 && (ULONG)index < g_submitted->attachmentCount) bag = &g_submitted->attachments[index]->props;
  } else if (strncmp(what, "header ", 7) == 0) {
    LONG id = namedId(&kInternetHeaders, what + 7);
    if (id < 0) return NULL;
    tag = PROP_TAG(PT_STRING8, id);
    bag = &g_submitted->props;
  }
  if (!bag || !(v = bagFind(bag, tag)) || v->tag != tag) return NULL;
  switch (PROP_TYPE(tag)) {
    case PT_STRING8:
      lstrcpynA(text, (const char*)v->data, sizeof text);
      break;
    case PT_BINARY:
      hexOf(v->data, v->size, text, sizeof text);
      break;
    case PT_LONG:
      snprintf(text, sizeof text, "%ld", *(const LONG*)v->data);
      break;
    case PT_BOOLEAN:
      snprintf(text, sizeof text, "%u", (unsigned)*(const unsigned short*)v->data);
      break;
    case PT_SYSTIME: {
      const FILETIME* ft = (const FILETIME*)v->data;
      _ui64toa(((ULONGLONG)ft->dwHighDateTime << 32) | ft->dwLowDateTime, text, 10);
      break;
    }
    default:
      return NULL;
  }
  return text;
}

/* ---- objects ----------------------------------------------------------------- */

enum Kind { K_SESSION, K_TABLE, K_STORE, K_FOLDER, K_MESSAGE, K_ADDRBOOK, K_ATTACH, K_STREAM };
enum TableKind { T_STORES, T_CONTENTS, T_RECIPIENTS, T_ATTACHMENTS, T_HIERARCHY };

/* The store's folders; F_ROOT is opened without an entry identifier. */
enum FolderId { F_INBOX, F_ROOT, F_IPM, F_OUTBOX, F_SENT, F_SEARCH, F_COUNT };
static const struct {
  const char* entry;
  const char* name;
  enum FolderId parent;
} kFolders[F_COUNT] = {
    {"STANDIN-INBOX", "Inbox", F_IPM},
    {"", "Root", F_ROOT},
    {"STANDIN-IPM-SUBTREE", "Top of Information Store", F_ROOT},
    {"STANDIN-OUTBOX", "Outbox", F_IPM},
    {"STANDIN-SENT-ITEMS", "Sent Items", F_IPM},
    {"STANDIN-SEARCH-ROOT", "Search Root", F_ROOT},
};

/* The nth folder under parent, or F_COUNT. */
static enum FolderId childFolder(enum FolderId parent, ULONG n) {
  int f;
  for (f = 0; f < F_COUNT; ++f)
    if (f != F_ROOT && kFolders[f].parent == parent && n-- == 0) return (enum FolderId)f;
  return F_COUNT;
}

static ULONG childCount(enum FolderId parent) {
  ULONG n = 0;
  while (childFolder(parent, n) != F_COUNT) ++n;
  return n;
}

typedef struct Object {
  const void* lpVtbl;
  LONG refs;
  enum Kind kind;
  const char* name; /* the interface, for the unserved-slot message */
  int message;      /* K_MESSAGE of the Inbox, and the recipient table of one */
  enum TableKind table;
  ULONG rows;
  ULONG cursor;
  ULONG columns[16];
  ULONG columnCount;
  enum FolderId folder;   /* K_FOLDER, and a hierarchy table's parent */
  BOOL writable;          /* K_FOLDER opened to modify */
  Composed* composed;     /* K_MESSAGE created in the Outbox */
  Attachment* attachment; /* K_ATTACH, K_STREAM */
  ULONG position;         /* K_STREAM */
} Object;

static IMAPISessionVtbl g_sessionVtbl;
static IMAPITableVtbl g_tableVtbl;
static IMsgStoreVtbl g_storeVtbl;
static IMAPIFolderVtbl g_folderVtbl;
static IMessageVtbl g_messageVtbl;
static IAddrBookVtbl g_addrBookVtbl;
static IAttachVtbl g_attachVtbl;
static IStreamVtbl g_streamVtbl;

static Object* newObject(enum Kind kind) {
  Object* o = (Object*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Object));
  if (!o) return NULL;
  o->refs = 1;
  o->kind = kind;
  switch (kind) {
    case K_SESSION: o->lpVtbl = &g_sessionVtbl; o->name = "IMAPISession"; break;
    case K_TABLE: o->lpVtbl = &g_tableVtbl; o->name = "IMAPITable"; break;
    case K_STORE: o->lpVtbl = &g_storeVtbl; o->name = "IMsgStore"; break;
    case K_FOLDER: o->lpVtbl = &g_folderVtbl; o->name = "IMAPIFolder"; break;
    case K_MESSAGE: o->lpVtbl = &g_messageVtbl; o->name = "IMessage"; break;
    case K_ADDRBOOK: o->lpVtbl = &g_addrBookVtbl; o->name = "IAddrBook"; break;
    case K_ATTACH: o->lpVtbl = &g_attachVtbl; o->name = "IAttach"; break;
    case K_STREAM: o->lpVtbl = &g_streamVtbl; o->name = "IStream"; break;
  }
  InterlockedIncrement(&g_live);
  return o;
}

/* Slots the stand-in does not serve: each names its index and ends the run
   (so their argument lists do not matter: they never return). */
static HRESULT unserved(void* self, int slot) {
  const Object* o = (const Object*)self;
  fprintf(stderr, "stand-in MAPI: the library called %s vtable slot %d, which the stand-in does not serve\n",
          o ? o->name : "(null object)", slot);
  fflush(stderr);
  ExitProcess(STANDIN_EXIT_UNSERVED);
  return E_NOTIMPL;
}

#define UNSERVED(r, c) \
  static HRESULT STDMETHODCALLTYPE unserved_##r##_##c(void* self) { return unserved(self, (r)*10 + (c)); }
#define UNSERVED_ROW(r)                                                                                     \
  UNSERVED(r, 0) UNSERVED(r, 1) UNSERVED(r, 2) UNSERVED(r, 3) UNSERVED(r, 4) UNSERVED(r, 5) UNSERVED(r, 6) \
  UNSERVED(r, 7) UNSERVED(r, 8) UNSERVED(r, 9)
UNSERVED_ROW(0) UNSERVED_ROW(1) UNSERVED_ROW(2) UNSERVED_ROW(3) UNSERVED_ROW(4) UNSERVED_ROW(5)
#define UNSERVED_REF(r, c) (void*)unserved_##r##_##c
#define UNSERVED_REFS(r)                                                                             \
  UNSERVED_REF(r, 0), UNSERVED_REF(r, 1), UNSERVED_REF(r, 2), UNSERVED_REF(r, 3), UNSERVED_REF(r, 4), \
      UNSERVED_REF(r, 5), UNSERVED_REF(r, 6), UNSERVED_REF(r, 7), UNSERVED_REF(r, 8), UNSERVED_REF(r, 9)
static void* const g_unserved[60] = {UNSERVED_REFS(0), UNSERVED_REFS(1), UNSERVED_REFS(2),
                                     UNSERVED_REFS(3), UNSERVED_REFS(4), UNSERVED_REFS(5)};

/* The vtable slot of a method of IMAPIProp or an interface derived from it. */
#define PROP_SLOT(method) ((int)(offsetof(IMAPIPropVtbl, method) / sizeof(void*)))
#define MESSAGE_SLOT(method) ((int)(offsetof(IMessageVtbl, method) / sizeof(void*)))

static void fillUnserved(void* vtbl, size_t size) {
  size_t slots = size / sizeof(void*);
  if (slots > sizeof g_unserved / sizeof g_unserved[0]) {
    fprintf(stderr, "stand-in MAPI: a vtable of %u slots is larger than the table of unserved slots\n",
            (unsigned)slots);
    ExitProcess(STANDIN_EXIT_UNSERVED);
  }
  memcpy(vtbl, g_unserved, slots * sizeof(void*));
}

/* ---- IUnknown ------------------------------------------------------------------ */

static HRESULT STDMETHODCALLTYPE QueryInterface_(void* self, REFIID riid, LPVOID* ppv) {
  (void)riid;
  /* Each object answers for its own interface and its bases. */
  if (!ppv) return E_INVALIDARG;
  ((Object*)self)->refs++;
  *ppv = self;
  return S_OK;
}

static ULONG STDMETHODCALLTYPE AddRef_(void* self) { return (ULONG)++((Object*)self)->refs; }

static ULONG STDMETHODCALLTYPE Release_(void* self) {
  Object* o = (Object*)self;
  LONG left = --o->refs;
  if (left == 0) {
    InterlockedDecrement(&g_live);
    HeapFree(GetProcessHeap(), 0, o);
  } else if (left < 0) {
    fprintf(stderr, "stand-in MAPI: %s released more often than it was referenced\n", o->name);
    fflush(stderr);
    ExitProcess(STANDIN_EXIT_UNSERVED);
  }
  return (ULONG)(left < 0 ? 0 : left);
}

/* A MAPIERROR record naming what failed; the caller frees it with MAPIFreeBuffer. */
static HRESULT errorRecord(const char* text, LPMAPIERROR* lppError) {
  LPMAPIERROR error = NULL;
  LPVOID copy = NULL;
  if (!lppError) return E_INVALIDARG;
  *lppError = NULL;
  if (MAPIAllocateBuffer(sizeof(MAPIERROR), (LPVOID*)&error) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  memset(error, 0, sizeof *error);
  if (MAPIAllocateMore((ULONG)strlen(text) + 1, error, &copy) != S_OK) {
    MAPIFreeBuffer(error);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  strcpy((char*)copy, text);
  error->ulVersion = MAPI_ERROR_VERSION;
  error->lpszError = (LPTSTR)copy;
  error->lpszComponent = (LPTSTR) "stand-in MAPI";
  *lppError = error;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE GetLastError_(void* self, HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppError) {
  char text[160];
  (void)ulFlags;
  if (((Object*)self)->kind == K_SESSION && g_scenario == SC_STORE_FAILS)
    return errorRecord("The stand-in profile's default store is not available", lppError);
  snprintf(text, sizeof text, "stand-in %s error 0x%08lX", ((Object*)self)->name, (unsigned long)hResult);
  return errorRecord(text, lppError);
}

/* ---- properties ---------------------------------------------------------------- */

static const char* const kSubjects[] = {"Quarterly figures", "Lunch on Friday?", "Re: build 81"};
static const char* const kSenders[] = {"Alice Example", "Bruno Beispiel", "Chloe Exemple"};
static const char* const kSenderAddresses[] = {"alice@example.com", "bruno@example.de", "chloe@example.fr"};

static const char kStoreEntry[] = "STANDIN-STORE-DEFAULT";
static const char kArchiveEntry[] = "STANDIN-STORE-ARCHIVE";

static void messageEntry(int number, char* out, size_t size) { snprintf(out, size, "STANDIN-MSG-%04d", number); }

static BOOL setString(SPropValue* v, ULONG tag, const char* text, LPVOID parent) {
  LPVOID copy = NULL;
  if (MAPIAllocateMore((ULONG)strlen(text) + 1, parent, &copy) != S_OK) return FALSE;
  strcpy((char*)copy, text);
  v->ulPropTag = tag;
  v->Value.lpszA = (LPSTR)copy;
  return TRUE;
}

static BOOL setBinary(SPropValue* v, ULONG tag, const void* bytes, ULONG size, LPVOID parent) {
  LPVOID copy = NULL;
  if (MAPIAllocateMore(size, parent, &copy) != S_OK) return FALSE;
  memcpy(copy, bytes, size);
  v->ulPropTag = tag;
  v->Value.bin.cb = size;
  v->Value.bin.lpb = (LPBYTE)copy;
  return TRUE;
}

/* 2024-01-02 03:04:05 UTC plus `minutes`, as a FILETIME. */
static FILETIME messageTime(int minutes) {
  SYSTEMTIME st = {2024, 1, 2, 2, 3, 4, 5, 0};
  FILETIME ft;
  ULARGE_INTEGER value;
  SystemTimeToFileTime(&st, &ft);
  value.LowPart = ft.dwLowDateTime;
  value.HighPart = ft.dwHighDateTime;
  value.QuadPart += (ULONGLONG)minutes * 60u * 10000000u;
  ft.dwLowDateTime = value.LowPart;
  ft.dwHighDateTime = value.HighPart;
  return ft;
}

/* Message n's value of tag; FALSE when it has none. */
static BOOL messageProp(int n, ULONG tag, SPropValue* v, LPVOID parent) {
  char text[160];
  int i = (n - 1) % 3;
  switch (tag) {
    case PR_SUBJECT_A:
      if (n <= 3) return setString(v, tag, kSubjects[i], parent);
      snprintf(text, sizeof text, "Message %d", n);
      return setString(v, tag, text, parent);
    case PR_BODY_A:
      snprintf(text, sizeof text, "Text of message %d.\r\nSecond line.\r\n", n);
      return setString(v, tag, text, parent);
    case PR_MESSAGE_CLASS_A:
      return setString(v, tag, "IPM.Note", parent);
    case PR_SENDER_NAME_A:
    case PR_SENT_REPRESENTING_NAME_A:
      return setString(v, tag, kSenders[i], parent);
    case PR_SENDER_EMAIL_ADDRESS_A:
    case PR_SENT_REPRESENTING_EMAIL_ADDRESS_A:
      return setString(v, tag, kSenderAddresses[i], parent);
    case PR_SENDER_ADDRTYPE_A:
    case PR_SENT_REPRESENTING_ADDRTYPE_A:
      return setString(v, tag, "SMTP", parent);
    case TAG_INTERNET_MESSAGE_ID_A:
      snprintf(text, sizeof text, "<%d.standin@example.com>", n);
      return setString(v, tag, text, parent);
    case PR_PRIORITY:
      v->ulPropTag = tag;
      v->Value.l = (n % 3 == 1) ? PRIO_URGENT : (n % 3 == 2 ? PRIO_NORMAL : PRIO_NONURGENT);
      return TRUE;
    case PR_CLIENT_SUBMIT_TIME:
      v->ulPropTag = tag;
      v->Value.ft = messageTime(n);
      return TRUE;
    case PR_MESSAGE_DELIVERY_TIME:
      v->ulPropTag = tag;
      v->Value.ft = messageTime(n + 1);
      return TRUE;
    case PR_HASATTACH:
      v->ulPropTag = tag;
      v->Value.b = FALSE;
      return TRUE;
    case PR_MESSAGE_FLAGS:
      v->ulPropTag = tag;
      v->Value.l = MSGFLAG_READ;
      return TRUE;
    case PR_ENTRYID:
      messageEntry(n, text, sizeof text);
      return setBinary(v, tag, text, (ULONG)strlen(text), parent);
    default:
      return FALSE;
  }
}

/* The value of tag in row `row` of a table. */
static BOOL rowProp(const Object* table, ULONG row, ULONG tag, SPropValue* v, LPVOID parent) {
  switch (table->table) {
    case T_STORES: {
      /* Row 0 is an archive store that is not the default; row 1 the default. */
      BOOL isDefault = row == 1;
      const char* entry = isDefault ? kStoreEntry : kArchiveEntry;
      if (tag == PR_DEFAULT_STORE) {
        v->ulPropTag = tag;
        v->Value.b = (unsigned short)isDefault;
        return TRUE;
      }
      if (tag == PR_ENTRYID) return setBinary(v, tag, entry, (ULONG)strlen(entry), parent);
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, isDefault ? "Mailbox" : "Archive", parent);
      return FALSE;
    }
    case T_CONTENTS:
      return messageProp((int)row + 1, tag, v, parent);
    case T_RECIPIENTS: {
      char text[64];
      int n = table->message;
      switch (tag) {
        case PR_RECIPIENT_TYPE:
          v->ulPropTag = tag;
          v->Value.l = MAPI_TO;
          return TRUE;
        case PR_DISPLAY_NAME_A:
          snprintf(text, sizeof text, "Recipient %d", n);
          return setString(v, tag, text, parent);
        case PR_EMAIL_ADDRESS_A:
        case TAG_SMTP_ADDRESS_A:
          snprintf(text, sizeof text, "recipient%d@example.com", n);
          return setString(v, tag, text, parent);
        case PR_ADDRTYPE_A:
          return setString(v, tag, "SMTP", parent);
        case PR_ROWID:
          v->ulPropTag = tag;
          v->Value.l = (LONG)row;
          return TRUE;
        default:
          return FALSE;
      }
    }
    case T_ATTACHMENTS:
      return FALSE;
    case T_HIERARCHY: {
      enum FolderId f = childFolder(table->folder, row);
      if (f == F_COUNT) return FALSE;
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, kFolders[f].name, parent);
      if (tag == PR_ENTRYID) return setBinary(v, tag, kFolders[f].entry, (ULONG)strlen(kFolders[f].entry), parent);
      return FALSE;
    }
  }
  return FALSE;
}

static BOOL objectProp(const Object* o, ULONG tag, SPropValue* v, LPVOID parent) {
  switch (o->kind) {
    case K_STORE:
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, "Mailbox", parent);
      if (tag == PR_IPM_OUTBOX_ENTRYID && g_scenario == SC_COMPOSE)
        return setBinary(v, tag, kFolders[F_OUTBOX].entry, (ULONG)strlen(kFolders[F_OUTBOX].entry), parent);
      return FALSE;
    case K_FOLDER:
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, kFolders[o->folder].name, parent);
      if (tag == PR_CONTENT_COUNT) {
        v->ulPropTag = tag;
        v->Value.l = o->folder == F_INBOX ? g_messages : 0;
        return TRUE;
      }
      return FALSE;
    case K_MESSAGE:
      /* Nothing reads a message being composed back. */
      return o->composed ? FALSE : messageProp(o->message, tag, v, parent);
    default:
      return FALSE;
  }
}

/* Fills values for tags; a tag without a value becomes PT_ERROR
   MAPI_E_NOT_FOUND. Returns TRUE when some value was missing. */
static BOOL fillValues(SPropValue* values, const ULONG* tags, ULONG count, LPVOID parent, const Object* table,
                       ULONG row, const Object* object, BOOL* failed) {
  BOOL missing = FALSE;
  ULONG i;
  *failed = FALSE;
  for (i = 0; i < count; ++i) {
    BOOL found = table ? rowProp(table, row, tags[i], &values[i], parent)
                       : objectProp(object, tags[i], &values[i], parent);
    if (!found) {
      values[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tags[i]));
      values[i].Value.err = MAPI_E_NOT_FOUND;
      missing = TRUE;
    }
  }
  return missing;
}

static HRESULT STDMETHODCALLTYPE GetProps_(void* self, LPSPropTagArray lpTags, ULONG ulFlags, ULONG* lpcValues,
                                           LPSPropValue* lppProps) {
  SPropValue* values = NULL;
  BOOL missing, failed;
  (void)ulFlags;
  if (!lpTags || !lpcValues || !lppProps) return MAPI_E_NO_SUPPORT; /* no "all properties" */
  *lpcValues = 0;
  *lppProps = NULL;
  if (MAPIAllocateBuffer(sizeof(SPropValue) * (lpTags->cValues ? lpTags->cValues : 1), (LPVOID*)&values) != S_OK)
    return MAPI_E_NOT_ENOUGH_MEMORY;
  memset(values, 0, sizeof(SPropValue) * lpTags->cValues);
  missing = fillValues(values, lpTags->aulPropTag, lpTags->cValues, values, NULL, 0, (Object*)self, &failed);
  *lpcValues = lpTags->cValues;
  *lppProps = values;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

/* The properties a message has (no PR_HASATTACH: it has no attachments). */
static const ULONG kMessageTags[] = {PR_ENTRYID, PR_MESSAGE_CLASS_A, PR_SUBJECT_A, PR_BODY_A, PR_SENDER_NAME_A,
                                     PR_SENDER_EMAIL_ADDRESS_A, PR_SENDER_ADDRTYPE_A, TAG_INTERNET_MESSAGE_ID_A,
                                     PR_PRIORITY, PR_CLIENT_SUBMIT_TIME, PR_MESSAGE_DELIVERY_TIME, PR_MESSAGE_FLAGS};

static HRESULT STDMETHODCALLTYPE GetPropList_(void* self, ULONG ulFlags, LPSPropTagArray* lppTags) {
  const ULONG count = sizeof kMessageTags / sizeof kMessageTags[0];
  LPSPropTagArray tags = NULL;
  (void)ulFlags;
  if (!lppTags) return E_INVALIDARG;
  *lppTags = NULL;
  if (((Object*)self)->kind != K_MESSAGE) return MAPI_E_NO_SUPPORT;
  if (MAPIAllocateBuffer(CbNewSPropTagArray(count), (LPVOID*)&tags) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  tags->cValues = count;
  memcpy(tags->aulPropTag, kMessageTags, sizeof kMessageTags);
  *lppTags = tags;
  return S_OK;
}

/* A message being composed counts its saves; an attachment saved becomes
   one of its message's. Everything else has nothing to save. */
static HRESULT STDMETHODCALLTYPE SaveChanges_(void* self, ULONG ulFlags) {
  Object* o = (Object*)self;
  (void)ulFlags;
  if (o->composed) ++o->composed->saves;
  if (o->kind == K_ATTACH && !o->attachment->saved) {
    Composed* m = o->attachment->message;
    if (m->attachmentCount == ATTACHMENTS_MAX) return MAPI_E_NOT_ENOUGH_MEMORY;
    m->attachments[m->attachmentCount++] = o->attachment;
    o->attachment->saved = TRUE;
  }
  return S_OK;
}

/* Properties are set only on what is being composed: a message created in
   the Outbox and its attachments. */
static HRESULT STDMETHODCALLTYPE SetProps_(void* self, ULONG cValues, LPSPropValue lpPropArray,
                                           LPSPropProblemArray* lppProblems) {
  Object* o = (Object*)self;
  Bag* bag = o->composed ? &o->composed->props : o->kind == K_ATTACH ? &o->attachment->props : NULL;
  ULONG i;
  if (!bag) return unserved(self, PROP_SLOT(SetProps));
  if (lppProblems) *lppProblems = NULL;
  if (!lpPropArray && cValues) return MAPI_E_INVALID_PARAMETER;
  for (i = 0; i < cValues; ++i) {
    HRESULT hr = bagSet(bag, &lpPropArray[i]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

/* Named properties by string name, on a message being composed: an id per
   (property set, name), made with MAPI_CREATE. */
static HRESULT STDMETHODCALLTYPE GetIDsFromNames_(void* self, ULONG cPropNames, LPMAPINAMEID* lppPropNames,
                                                  ULONG ulFlags, LPSPropTagArray* lppPropTags) {
  LPSPropTagArray tags = NULL;
  BOOL missing = FALSE;
  ULONG i;
  if (!((Object*)self)->composed) return unserved(self, PROP_SLOT(GetIDsFromNames));
  if (!lppPropTags) return MAPI_E_INVALID_PARAMETER;
  *lppPropTags = NULL;
  if (!cPropNames || !lppPropNames) return MAPI_E_NO_SUPPORT; /* no list of every name */
  if (MAPIAllocateBuffer(CbNewSPropTagArray(cPropNames), (LPVOID*)&tags) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  tags->cValues = cPropNames;
  for (i = 0; i < cPropNames; ++i) {
    const MAPINAMEID* n = lppPropNames[i];
    char name[64];
    LONG id = -1;
    if (n && n->lpguid && n->ulKind == MNID_STRING && n->Kind.lpwstrName &&
        WideCharToMultiByte(CP_ACP, 0, n->Kind.lpwstrName, -1, name, sizeof name, NULL, NULL) > 0) {
      id = namedId(n->lpguid, name);
      if (id < 0 && (ulFlags & MAPI_CREATE) && g_nameCount < sizeof g_names / sizeof g_names[0]) {
        g_names[g_nameCount].set = *n->lpguid;
        lstrcpynA(g_names[g_nameCount].name, name, sizeof g_names[0].name);
        id = (LONG)(0x8000 + g_nameCount++);
      }
    }
    tags->aulPropTag[i] = id >= 0 ? PROP_TAG(PT_UNSPECIFIED, id) : PROP_TAG(PT_ERROR, 0);
    if (id < 0) missing = TRUE;
  }
  *lppPropTags = tags;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

/* An attachment's data as a stream to write (MAPI_MODIFY): what is written
   is the attachment's PR_ATTACH_DATA_BIN at once, saved with it. */
static HRESULT openAttachData(Object* attach, ULONG ulPropTag, LPCIID lpiid, ULONG ulFlags, LPUNKNOWN* lppUnk) {
  Bag* props = &attach->attachment->props;
  Object* stream;
  if (ulPropTag != PR_ATTACH_DATA_BIN || !lpiid || !IsEqualIID(lpiid, &IID_IStream)) return MAPI_E_NO_SUPPORT;
  if (!(ulFlags & MAPI_MODIFY)) return MAPI_E_NO_ACCESS;
  if (!(ulFlags & MAPI_CREATE) && !bagFind(props, PR_ATTACH_DATA_BIN)) return MAPI_E_NOT_FOUND;
  if ((ulFlags & MAPI_CREATE) && FAILED(bagPut(props, PR_ATTACH_DATA_BIN, NULL, 0))) return MAPI_E_NOT_ENOUGH_MEMORY;
  stream = newObject(K_STREAM);
  if (!stream) return MAPI_E_NOT_ENOUGH_MEMORY;
  stream->attachment = attach->attachment;
  *lppUnk = (LPUNKNOWN)stream;
  return S_OK;
}

/* A message's string property as a stream to read (the system's stream on
   memory), and an attachment's data to write. */
static HRESULT STDMETHODCALLTYPE OpenProperty_(void* self, ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions,
                                               ULONG ulFlags, LPUNKNOWN* lppUnk) {
  Object* o = (Object*)self;
  SPropValue value;
  LPVOID scratch = NULL;
  LPSTREAM stream = NULL;
  LARGE_INTEGER zero;
  HRESULT hr;
  (void)ulInterfaceOptions;
  if (!lppUnk) return E_INVALIDARG;
  *lppUnk = NULL;
  if (o->kind == K_ATTACH) return openAttachData(o, ulPropTag, lpiid, ulFlags, lppUnk);
  if (o->kind != K_MESSAGE || o->composed || PROP_TYPE(ulPropTag) != PT_STRING8 || !lpiid ||
      !IsEqualIID(lpiid, &IID_IStream) || (ulFlags & (MAPI_CREATE | MAPI_MODIFY)))
    return MAPI_E_NOT_FOUND;
  if (MAPIAllocateBuffer(1, &scratch) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (!messageProp(o->message, ulPropTag, &value, scratch)) {
    MAPIFreeBuffer(scratch);
    return MAPI_E_NOT_FOUND;
  }
  hr = CreateStreamOnHGlobal(NULL, TRUE, &stream);
  if (SUCCEEDED(hr)) hr = IStream_Write(stream, value.Value.lpszA, (ULONG)strlen(value.Value.lpszA), NULL);
  zero.QuadPart = 0;
  if (SUCCEEDED(hr)) hr = IStream_Seek(stream, zero, STREAM_SEEK_SET, NULL);
  MAPIFreeBuffer(scratch);
  if (FAILED(hr)) {
    if (stream) IStream_Release(stream);
    return hr;
  }
  *lppUnk = (LPUNKNOWN)stream;
  return S_OK;
}

/* ---- tables ---------------------------------------------------------------------- */

static Object* newTable(enum TableKind kind, ULONG rows, int message) {
  Object* t = newObject(K_TABLE);
  if (!t) return NULL;
  t->table = kind;
  t->rows = rows;
  t->message = message;
  t->columns[0] = PR_ENTRYID;
  t->columnCount = 1;
  return t;
}

static HRESULT STDMETHODCALLTYPE Table_SetColumns(void* self, LPSPropTagArray lpTags, ULONG ulFlags) {
  Object* t = (Object*)self;
  (void)ulFlags;
  if (!lpTags || lpTags->cValues == 0 || lpTags->cValues > sizeof t->columns / sizeof t->columns[0])
    return MAPI_E_INVALID_PARAMETER;
  memcpy(t->columns, lpTags->aulPropTag, lpTags->cValues * sizeof(ULONG));
  t->columnCount = lpTags->cValues;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Table_GetRowCount(void* self, ULONG ulFlags, ULONG* lpulCount) {
  (void)ulFlags;
  if (!lpulCount) return E_INVALIDARG;
  *lpulCount = ((Object*)self)->rows;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Table_SeekRow(void* self, BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) {
  Object* t = (Object*)self;
  LONG start, target;
  if (bkOrigin == BOOKMARK_BEGINNING) start = 0;
  else if (bkOrigin == BOOKMARK_CURRENT) start = (LONG)t->cursor;
  else if (bkOrigin == BOOKMARK_END) start = (LONG)t->rows;
  else return MAPI_E_INVALID_BOOKMARK;
  target = start + lRowCount;
  if (target < 0) target = 0;
  if (target > (LONG)t->rows) target = (LONG)t->rows;
  t->cursor = (ULONG)target;
  if (lplRowsSought) *lplRowsSought = target - start;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Table_QueryRows(void* self, LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) {
  Object* t = (Object*)self;
  LPSRowSet set = NULL;
  ULONG count, i;
  if (!lppRows || lRowCount < 0) return MAPI_E_INVALID_PARAMETER;
  *lppRows = NULL;
  count = t->rows - t->cursor;
  if ((ULONG)lRowCount < count) count = (ULONG)lRowCount;
  if (MAPIAllocateBuffer(CbNewSRowSet(count ? count : 1), (LPVOID*)&set) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  memset(set, 0, CbNewSRowSet(count ? count : 1));
  for (i = 0; i < count; ++i) {
    SPropValue* values = NULL;
    BOOL failed;
    if (MAPIAllocateBuffer(sizeof(SPropValue) * t->columnCount, (LPVOID*)&values) != S_OK) {
      set->cRows = i;
      FreeProws(set);
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    memset(values, 0, sizeof(SPropValue) * t->columnCount);
    fillValues(values, t->columns, t->columnCount, values, t, t->cursor + i, NULL, &failed);
    set->aRow[i].cValues = t->columnCount;
    set->aRow[i].lpProps = values;
  }
  set->cRows = count;
  if (!(ulFlags & TBL_NOADVANCE)) t->cursor += count;
  *lppRows = set;
  return S_OK;
}

/* ---- session ----------------------------------------------------------------------- */

static HRESULT STDMETHODCALLTYPE Session_GetMsgStoresTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  Object* t;
  (void)self;
  (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_STORES, g_scenario == SC_NO_STORES ? 0 : 2, 0);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

static BOOL sameEntry(ULONG cb, LPENTRYID eid, const char* expected) {
  return eid && cb == strlen(expected) && memcmp(eid, expected, cb) == 0;
}

static HRESULT STDMETHODCALLTYPE Session_OpenMsgStore(void* self, ULONG_PTR ulUIParam, ULONG cbEntryID,
                                                      LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                                                      LPMDB* lppMDB) {
  Object* store;
  (void)self; (void)ulUIParam; (void)lpInterface; (void)ulFlags;
  if (!lppMDB) return E_INVALIDARG;
  *lppMDB = NULL;
  if (g_scenario == SC_STORE_FAILS) return MAPI_E_NOT_FOUND;
  if (!sameEntry(cbEntryID, lpEntryID, kStoreEntry)) return MAPI_E_INVALID_ENTRYID;
  store = newObject(K_STORE);
  if (!store) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppMDB = (LPMDB)store;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Session_OpenAddressBook(void* self, ULONG_PTR ulUIParam, LPCIID lpInterface,
                                                         ULONG ulFlags, LPADRBOOK* lppAdrBook) {
  Object* book;
  (void)self; (void)ulUIParam; (void)lpInterface; (void)ulFlags;
  if (!lppAdrBook) return E_INVALIDARG;
  *lppAdrBook = NULL;
  book = newObject(K_ADDRBOOK);
  if (!book) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppAdrBook = (LPADRBOOK)book;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Session_Logoff(void* self, ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) {
  (void)self; (void)ulUIParam; (void)ulFlags; (void)ulReserved;
  InterlockedIncrement(&g_logoff);
  return S_OK;
}

/* ---- address book ---------------------------------------------------------------- */

/* The one name the address book resolves. */
static const struct {
  const char* name;
  const char* address;
  const char* entry;
} kDirectory = {"Dana Directory", "dana.directory@example.org", "STANDIN-AB-DANA"};

/* Resolves each entry without an entry identifier by its display name: a
   name the directory knows gets the directory's values in an array of the
   book's (the entry's own is freed, as MAPI does); any other leaves the
   entry as it is and the call answers MAPI_E_NOT_FOUND. */
static HRESULT STDMETHODCALLTYPE AddrBook_ResolveName(void* self, ULONG_PTR ulUIParam, ULONG ulFlags,
                                                      LPTSTR lpszNewEntryTitle, LPADRLIST lpAdrList) {
  HRESULT result = S_OK;
  ULONG i, j;
  (void)self; (void)ulUIParam; (void)ulFlags; (void)lpszNewEntryTitle;
  if (!lpAdrList) return MAPI_E_INVALID_PARAMETER;
  InterlockedIncrement(&g_resolveName);
  for (i = 0; i < lpAdrList->cEntries; ++i) {
    ADRENTRY* e = &lpAdrList->aEntries[i];
    const char* name = NULL;
    LONG type = MAPI_TO;
    BOOL resolved = FALSE;
    LPSPropValue values = NULL;
    for (j = 0; j < e->cValues; ++j) {
      if (e->rgPropVals[j].ulPropTag == PR_DISPLAY_NAME_A) name = (const char*)e->rgPropVals[j].Value.lpszA;
      if (e->rgPropVals[j].ulPropTag == PR_RECIPIENT_TYPE) type = e->rgPropVals[j].Value.l;
      if (e->rgPropVals[j].ulPropTag == PR_ENTRYID) resolved = TRUE;
    }
    if (resolved) continue;
    if (!name || lstrcmpiA(name, kDirectory.name) != 0) {
      result = MAPI_E_NOT_FOUND;
      continue;
    }
    if (MAPIAllocateBuffer(5 * sizeof(SPropValue), (LPVOID*)&values) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    memset(values, 0, 5 * sizeof(SPropValue));
    if (!setBinary(&values[0], PR_ENTRYID, kDirectory.entry, (ULONG)strlen(kDirectory.entry), values) ||
        !setString(&values[1], PR_DISPLAY_NAME_A, kDirectory.name, values) ||
        !setString(&values[2], PR_ADDRTYPE_A, "SMTP", values) ||
        !setString(&values[3], PR_EMAIL_ADDRESS_A, kDirectory.address, values)) {
      MAPIFreeBuffer(values);
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    values[4].ulPropTag = PR_RECIPIENT_TYPE;
    values[4].Value.l = type;
    MAPIFreeBuffer(e->rgPropVals);
    e->rgPropVals = values;
    e->cValues = 5;
  }
  return result;
}

/* A one-off entry identifier of ANSI strings: flags, MAPI's one-off
   provider UID, version 0, the entry's flags, then name, address type and
   address, each with its terminator. */
static HRESULT STDMETHODCALLTYPE AddrBook_CreateOneOff(void* self, LPTSTR lpszName, LPTSTR lpszAdrType,
                                                       LPTSTR lpszAddress, ULONG ulFlags, ULONG* lpcbEntryID,
                                                       LPENTRYID* lppEntryID) {
  static const BYTE oneOffUid[16] = MAPI_ONE_OFF_UID;
  const char* name = (const char*)lpszName;
  const char* type = (const char*)lpszAdrType;
  const char* address = (const char*)lpszAddress;
  WORD flags = (ulFlags & MAPI_SEND_NO_RICH_INFO) ? MAPI_ONE_OFF_NO_RICH_INFO : 0;
  BYTE* entry = NULL;
  BYTE* p;
  ULONG cb;
  (void)self;
  if (!lpcbEntryID || !lppEntryID || !name || !type || !address) return MAPI_E_INVALID_PARAMETER;
  *lppEntryID = NULL;
  if (ulFlags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
  cb = 24 + (ULONG)(strlen(name) + strlen(type) + strlen(address) + 3);
  if (MAPIAllocateBuffer(cb, (LPVOID*)&entry) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  memset(entry, 0, 24);
  memcpy(entry + 4, oneOffUid, sizeof oneOffUid);
  memcpy(entry + 22, &flags, sizeof flags);
  p = entry + 24;
  strcpy((char*)p, name);
  p += strlen(name) + 1;
  strcpy((char*)p, type);
  p += strlen(type) + 1;
  strcpy((char*)p, address);
  snprintf(g_oneOffArgs, sizeof g_oneOffArgs, "%s|%s|%s", name, type, address);
  hexOf(entry, cb, g_oneOffEntry, sizeof g_oneOffEntry);
  InterlockedIncrement(&g_oneOff);
  *lpcbEntryID = cb;
  *lppEntryID = (LPENTRYID)entry;
  return S_OK;
}

/* ---- store and folder -------------------------------------------------------------- */

/* The folder an entry identifier names (none names the root), or F_COUNT. */
static enum FolderId folderOfEntry(ULONG cbEntryID, LPENTRYID lpEntryID) {
  int f;
  if (cbEntryID == 0) return F_ROOT;
  for (f = 0; f < F_COUNT; ++f)
    if (f != F_ROOT && sameEntry(cbEntryID, lpEntryID, kFolders[f].entry)) return (enum FolderId)f;
  return F_COUNT;
}

static Object* newFolder(enum FolderId f, ULONG ulFlags) {
  Object* folder = newObject(K_FOLDER);
  if (!folder) return NULL;
  folder->folder = f;
  folder->writable = (ulFlags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  return folder;
}

static HRESULT STDMETHODCALLTYPE Store_GetReceiveFolder(void* self, LPTSTR lpszMessageClass, ULONG ulFlags,
                                                        ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                                                        LPTSTR* lppszExplicitClass) {
  const char* inbox = kFolders[F_INBOX].entry;
  LPVOID copy = NULL;
  (void)self; (void)lpszMessageClass; (void)ulFlags;
  if (!lpcbEntryID || !lppEntryID) return E_INVALIDARG;
  if (MAPIAllocateBuffer((ULONG)strlen(inbox), &copy) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  memcpy(copy, inbox, strlen(inbox));
  *lpcbEntryID = (ULONG)strlen(inbox);
  *lppEntryID = (LPENTRYID)copy;
  if (lppszExplicitClass) *lppszExplicitClass = NULL;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Store_OpenEntry(void* self, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                                                 ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) {
  enum FolderId f = folderOfEntry(cbEntryID, lpEntryID);
  Object* folder;
  (void)self; (void)lpInterface;
  if (!lppUnk) return E_INVALIDARG;
  *lppUnk = NULL;
  if (f == F_COUNT) return MAPI_E_NOT_FOUND;
  folder = newFolder(f, ulFlags);
  if (!folder) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (lpulObjType) *lpulObjType = MAPI_FOLDER;
  *lppUnk = (LPUNKNOWN)folder;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_GetContentsTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  Object* t;
  (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_CONTENTS, ((Object*)self)->folder == F_INBOX ? (ULONG)g_messages : 0, 0);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_OpenEntry(void* self, ULONG cbEntryID, LPENTRYID lpEntryID,
                                                  LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                                                  LPUNKNOWN* lppUnk) {
  char entry[32];
  int n;
  enum FolderId f = cbEntryID ? folderOfEntry(cbEntryID, lpEntryID) : F_COUNT;
  Object* message;
  (void)self; (void)lpInterface;
  if (!lppUnk) return E_INVALIDARG;
  *lppUnk = NULL;
  if (f != F_COUNT) {
    Object* folder = newFolder(f, ulFlags);
    if (!folder) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (lpulObjType) *lpulObjType = MAPI_FOLDER;
    *lppUnk = (LPUNKNOWN)folder;
    return S_OK;
  }
  for (n = 1; n <= g_messages; ++n) {
    messageEntry(n, entry, sizeof entry);
    if (sameEntry(cbEntryID, lpEntryID, entry)) break;
  }
  if (n > g_messages) return MAPI_E_NOT_FOUND;
  message = newObject(K_MESSAGE);
  if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
  message->message = n;
  if (lpulObjType) *lpulObjType = MAPI_MESSAGE;
  *lppUnk = (LPUNKNOWN)message;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_DeleteMessages(void* self, LPENTRYLIST lpMsgList, ULONG_PTR ulUIParam,
                                                       LPMAPIPROGRESS lpProgress, ULONG ulFlags) {
  (void)self; (void)ulUIParam; (void)lpProgress; (void)ulFlags;
  if (!lpMsgList) return E_INVALIDARG;
  InterlockedExchangeAdd(&g_deleted, (LONG)lpMsgList->cValues);
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_GetHierarchyTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  enum FolderId f = ((Object*)self)->folder;
  Object* t;
  (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_HIERARCHY, childCount(f), 0);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  t->folder = f;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

/* Only the Outbox, opened to modify, takes new messages. */
static HRESULT STDMETHODCALLTYPE Folder_CreateMessage(void* self, LPCIID lpInterface, ULONG ulFlags,
                                                      LPMESSAGE* lppMessage) {
  Object* folder = (Object*)self;
  Object* message;
  (void)lpInterface; (void)ulFlags;
  if (!lppMessage) return E_INVALIDARG;
  *lppMessage = NULL;
  if (folder->folder != F_OUTBOX || !folder->writable) return MAPI_E_NO_ACCESS;
  if (g_composedCount == sizeof g_composed / sizeof g_composed[0]) return MAPI_E_NOT_ENOUGH_MEMORY;
  message = newObject(K_MESSAGE);
  if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
  message->composed = &g_composed[g_composedCount++];
  InterlockedIncrement(&g_createMessage);
  *lppMessage = (LPMESSAGE)message;
  return S_OK;
}

/* ---- message --------------------------------------------------------------------------- */

static HRESULT STDMETHODCALLTYPE Message_GetRecipientTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  Object* t;
  (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_RECIPIENTS, 1, ((Object*)self)->message);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Message_GetAttachmentTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  Object* t;
  (void)self; (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_ATTACHMENTS, 0, 0);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Message_SetReadFlag(void* self, ULONG ulFlags) {
  (void)self; (void)ulFlags;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Message_CopyTo(void* self, ULONG ciidExclude, LPCIID rgiidExclude,
                                                LPSPropTagArray lpExcludeProps, ULONG_PTR ulUIParam,
                                                LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
                                                ULONG ulFlags, LPSPropProblemArray* lppProblems) {
  /* Copying a message into another provider's object would make this a
     second MAPI; the library reports the failure. */
  (void)self; (void)ciidExclude; (void)rgiidExclude; (void)lpExcludeProps; (void)ulUIParam; (void)lpProgress;
  (void)lpInterface; (void)lpDestObj; (void)ulFlags;
  if (lppProblems) *lppProblems = NULL;
  return MAPI_E_NO_SUPPORT;
}

/* A message being composed takes recipients to add (MODRECIP_ADD), each
   kept with a PR_ROWID of its own. */
static HRESULT STDMETHODCALLTYPE Message_ModifyRecipients(void* self, ULONG ulFlags, LPADRLIST lpMods) {
  Composed* m = ((Object*)self)->composed;
  ULONG i, j;
  if (!m) return unserved(self, MESSAGE_SLOT(ModifyRecipients));
  if (!lpMods) return MAPI_E_INVALID_PARAMETER;
  if (ulFlags != MODRECIP_ADD) return MAPI_E_NO_SUPPORT;
  for (i = 0; i < lpMods->cEntries; ++i) {
    const ADRENTRY* e = &lpMods->aEntries[i];
    Bag* bag;
    SPropValue rowId;
    if (m->recipientCount == RECIPIENTS_MAX) return MAPI_E_NOT_ENOUGH_MEMORY;
    bag = &m->recipients[m->recipientCount];
    for (j = 0; j < e->cValues; ++j) {
      HRESULT hr = bagSet(bag, &e->rgPropVals[j]);
      if (FAILED(hr)) return hr;
    }
    rowId.ulPropTag = PR_ROWID;
    rowId.Value.l = (LONG)m->recipientCount++;
    bagSet(bag, &rowId);
  }
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Message_CreateAttach(void* self, LPCIID lpInterface, ULONG ulFlags,
                                                      ULONG* lpulAttachmentNum, LPATTACH* lppAttach) {
  Composed* m = ((Object*)self)->composed;
  Object* attach;
  (void)lpInterface; (void)ulFlags;
  if (!m) return unserved(self, MESSAGE_SLOT(CreateAttach));
  if (!lpulAttachmentNum || !lppAttach) return MAPI_E_INVALID_PARAMETER;
  *lppAttach = NULL;
  if (g_attachmentRecordCount == sizeof g_attachmentRecords / sizeof g_attachmentRecords[0])
    return MAPI_E_NOT_ENOUGH_MEMORY;
  attach = newObject(K_ATTACH);
  if (!attach) return MAPI_E_NOT_ENOUGH_MEMORY;
  attach->attachment = &g_attachmentRecords[g_attachmentRecordCount++];
  attach->attachment->message = m;
  *lpulAttachmentNum = m->attachNumbers++;
  *lppAttach = (LPATTACH)attach;
  return S_OK;
}

/* Submitting needs a recipient; the message submitted is the one the test
   reads back. */
static HRESULT STDMETHODCALLTYPE Message_SubmitMessage(void* self, ULONG ulFlags) {
  Composed* m = ((Object*)self)->composed;
  (void)ulFlags;
  if (!m) return unserved(self, MESSAGE_SLOT(SubmitMessage));
  if (m->recipientCount == 0) return MAPI_E_NO_RECIPIENTS;
  m->savesBeforeSubmit = m->saves;
  g_submitted = m;
  InterlockedIncrement(&g_submit);
  return S_OK;
}

/* ---- an attachment's data stream ------------------------------------------------------ */

static HRESULT STDMETHODCALLTYPE Stream_Write(void* self, const void* pv, ULONG cb, ULONG* pcbWritten) {
  Object* s = (Object*)self;
  Value* data = bagFind(&s->attachment->props, PR_ATTACH_DATA_BIN);
  ULONG end = s->position + cb;
  if (pcbWritten) *pcbWritten = 0;
  if (!pv && cb) return STG_E_INVALIDPOINTER;
  if (!data) return STG_E_REVERTED; /* the data was dropped since the stream was opened */
  if (end > data->size) {
    BYTE* grown = (BYTE*)HeapReAlloc(GetProcessHeap(), 0, data->data, end);
    if (!grown) return STG_E_MEDIUMFULL;
    data->data = grown;
    data->size = end;
  }
  if (cb) memcpy(data->data + s->position, pv, cb);
  s->position = end;
  if (pcbWritten) *pcbWritten = cb;
  return S_OK;
}

/* What is written is in place already. */
static HRESULT STDMETHODCALLTYPE Stream_Commit(void* self, DWORD grfCommitFlags) {
  (void)self; (void)grfCommitFlags;
  return S_OK;
}

/* ---- vtables ------------------------------------------------------------------------------ */

#define SET_UNKNOWN(v)                                    \
  do {                                                    \
    (v).QueryInterface = (void*)QueryInterface_;          \
    (v).AddRef = (void*)AddRef_;                          \
    (v).Release = (void*)Release_;                        \
  } while (0)
#define SET_PROP(v)                                       \
  do {                                                    \
    (v).GetLastError = (void*)GetLastError_;              \
    (v).SaveChanges = (void*)SaveChanges_;                \
    (v).GetProps = (void*)GetProps_;                      \
    (v).GetPropList = (void*)GetPropList_;                \
    (v).OpenProperty = (void*)OpenProperty_;              \
    (v).SetProps = (void*)SetProps_;                      \
    (v).GetIDsFromNames = (void*)GetIDsFromNames_;        \
  } while (0)

static void buildVtables(void) {
  fillUnserved(&g_sessionVtbl, sizeof g_sessionVtbl);
  SET_UNKNOWN(g_sessionVtbl);
  g_sessionVtbl.GetLastError = (void*)GetLastError_;
  g_sessionVtbl.GetMsgStoresTable = (void*)Session_GetMsgStoresTable;
  g_sessionVtbl.OpenMsgStore = (void*)Session_OpenMsgStore;
  g_sessionVtbl.OpenAddressBook = (void*)Session_OpenAddressBook;
  g_sessionVtbl.Logoff = (void*)Session_Logoff;

  fillUnserved(&g_tableVtbl, sizeof g_tableVtbl);
  SET_UNKNOWN(g_tableVtbl);
  g_tableVtbl.GetLastError = (void*)GetLastError_;
  g_tableVtbl.SetColumns = (void*)Table_SetColumns;
  g_tableVtbl.GetRowCount = (void*)Table_GetRowCount;
  g_tableVtbl.SeekRow = (void*)Table_SeekRow;
  g_tableVtbl.QueryRows = (void*)Table_QueryRows;

  fillUnserved(&g_storeVtbl, sizeof g_storeVtbl);
  SET_UNKNOWN(g_storeVtbl);
  SET_PROP(g_storeVtbl);
  g_storeVtbl.GetReceiveFolder = (void*)Store_GetReceiveFolder;
  g_storeVtbl.OpenEntry = (void*)Store_OpenEntry;

  fillUnserved(&g_folderVtbl, sizeof g_folderVtbl);
  SET_UNKNOWN(g_folderVtbl);
  SET_PROP(g_folderVtbl);
  g_folderVtbl.GetContentsTable = (void*)Folder_GetContentsTable;
  g_folderVtbl.OpenEntry = (void*)Folder_OpenEntry;
  g_folderVtbl.DeleteMessages = (void*)Folder_DeleteMessages;
  g_folderVtbl.GetHierarchyTable = (void*)Folder_GetHierarchyTable;
  g_folderVtbl.CreateMessage = (void*)Folder_CreateMessage;

  fillUnserved(&g_messageVtbl, sizeof g_messageVtbl);
  SET_UNKNOWN(g_messageVtbl);
  SET_PROP(g_messageVtbl);
  g_messageVtbl.GetRecipientTable = (void*)Message_GetRecipientTable;
  g_messageVtbl.GetAttachmentTable = (void*)Message_GetAttachmentTable;
  g_messageVtbl.SetReadFlag = (void*)Message_SetReadFlag;
  g_messageVtbl.CopyTo = (void*)Message_CopyTo;
  g_messageVtbl.ModifyRecipients = (void*)Message_ModifyRecipients;
  g_messageVtbl.CreateAttach = (void*)Message_CreateAttach;
  g_messageVtbl.SubmitMessage = (void*)Message_SubmitMessage;

  fillUnserved(&g_attachVtbl, sizeof g_attachVtbl);
  SET_UNKNOWN(g_attachVtbl);
  SET_PROP(g_attachVtbl);

  fillUnserved(&g_addrBookVtbl, sizeof g_addrBookVtbl);
  SET_UNKNOWN(g_addrBookVtbl);
  g_addrBookVtbl.GetLastError = (void*)GetLastError_;
  g_addrBookVtbl.ResolveName = (void*)AddrBook_ResolveName;
  g_addrBookVtbl.CreateOneOff = (void*)AddrBook_CreateOneOff;

  fillUnserved(&g_streamVtbl, sizeof g_streamVtbl);
  SET_UNKNOWN(g_streamVtbl);
  g_streamVtbl.Write = (void*)Stream_Write;
  g_streamVtbl.Commit = (void*)Stream_Commit;
}

/* ---- the entry points mapi32 hands over ------------------------------------------------- */

HRESULT WINAPI MAPIInitialize(LPVOID lpMapiInit) {
  MAPIINIT_0* init = (MAPIINIT_0*)lpMapiInit;
  InterlockedIncrement(&g_initialize);
  if (init && init->ulFlags != MAPI_NT_SERVICE) {
    fprintf(stderr, "stand-in MAPI: MAPIInitialize flags 0x%08lX, expected MAPI_NT_SERVICE\n",
            (unsigned long)init->ulFlags);
    fflush(stderr);
  }
  if (g_scenario == SC_INIT_FAILS) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

void WINAPI MAPIUninitialize(void) { InterlockedIncrement(&g_uninitialize); }

HRESULT WINAPI MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, FLAGS flFlags,
                           LPMAPISESSION* lppSession) {
  Object* session;
  (void)ulUIParam;
  InterlockedIncrement(&g_logon);
  g_logonFlags = flFlags;
  lstrcpynA(g_profile, lpszProfileName ? (const char*)lpszProfileName : "(null)", sizeof g_profile);
  if (lpszPassword) InterlockedIncrement(&g_passwordGiven);
  if (!lppSession) return E_INVALIDARG;
  *lppSession = NULL;
  if (g_scenario == SC_LOGON_FAILS) return MAPI_E_LOGON_FAILED;
  session = newObject(K_SESSION);
  if (!session) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppSession = (LPMAPISESSION)session;
  return S_OK;
}

/* Wine's mapi32 hands this one to the provider as well (its own fails):
   every row of a table with the given columns. The stand-in serves no
   restriction or sort order. */
HRESULT WINAPI HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                              LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  ULONG rows = 0;
  HRESULT hr;
  if (!lpTable || !lppRows) return MAPI_E_INVALID_PARAMETER;
  *lppRows = NULL;
  if (lpRestriction || lpSortOrderSet) {
    fprintf(stderr, "stand-in MAPI: HrQueryAllRows with a restriction or a sort order, which the stand-in does not "
                    "serve\n");
    fflush(stderr);
    ExitProcess(STANDIN_EXIT_UNSERVED);
  }
  hr = lpPropTags ? lpTable->lpVtbl->SetColumns(lpTable, lpPropTags, TBL_BATCH) : S_OK;
  if (SUCCEEDED(hr)) hr = lpTable->lpVtbl->SeekRow(lpTable, BOOKMARK_BEGINNING, 0, NULL);
  if (SUCCEEDED(hr)) hr = lpTable->lpVtbl->GetRowCount(lpTable, 0, &rows);
  if (SUCCEEDED(hr) && crowsMax > 0 && rows > (ULONG)crowsMax) hr = MAPI_E_TABLE_TOO_BIG;
  if (SUCCEEDED(hr)) hr = lpTable->lpVtbl->QueryRows(lpTable, (LONG)rows, 0, lppRows);
  return hr;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) buildVtables();
  return TRUE;
}
