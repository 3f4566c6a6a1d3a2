/*
 * A stand-in MAPI provider for running the Windows DLL under Wine.
 *
 * Wine's mapi32 hands MAPIInitialize, MAPILogonEx and MAPIUninitialize to the
 * DLL that the registry names as the default mail client's extended MAPI
 * (HKLM\Software\Clients\Mail\<client>\DLLPathEx); everything else of MAPI
 * (MAPIAllocateBuffer, MAPIFreeBuffer, FreeProws, HrGetOneProp, ...) stays
 * Wine's own. This DLL is that provider: a fixed profile whose session serves
 * just what the JNI library asks of a logon and of an Inbox walk, and nothing
 * more. Buffers it hands out come from mapi32's MAPIAllocateBuffer, so the
 * library frees them with the same allocator.
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
 *                one To recipient, Internet message id, priority and dates
 *
 * A method the stand-in does not serve ends the process with exit code 90 and
 * names the interface and the vtable slot, so that the run shows what the
 * library asked for. The test program reads the counts of what happened
 * (StandinCount) and the last logon's arguments (StandinText).
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

/* ---- configuration and counts ------------------------------------------------ */

enum Scenario { SC_INBOX, SC_INIT_FAILS, SC_LOGON_FAILS, SC_NO_STORES, SC_STORE_FAILS };

static enum Scenario g_scenario = SC_INBOX;
static int g_messages = 3;

static LONG g_initialize, g_uninitialize, g_logon, g_logoff, g_live, g_deleted, g_passwordGiven;
static ULONG g_logonFlags;
static char g_profile[256];

int WINAPI StandinConfigure(const char* scenario, int messages) {
  static const struct {
    const char* name;
    enum Scenario value;
  } names[] = {{"inbox", SC_INBOX},
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
      g_logonFlags = 0;
      g_profile[0] = '\0';
      return 1;
    }
  }
  return 0;
}

/* The count named, or -1 for a name it does not know. "live" is the number
   of the stand-in's objects not yet released. */
LONG WINAPI StandinCount(const char* name) {
  if (strcmp(name, "MAPIInitialize") == 0) return g_initialize;
  if (strcmp(name, "MAPIUninitialize") == 0) return g_uninitialize;
  if (strcmp(name, "MAPILogonEx") == 0) return g_logon;
  if (strcmp(name, "Logoff") == 0) return g_logoff;
  if (strcmp(name, "live") == 0) return g_live;
  if (strcmp(name, "DeleteMessages") == 0) return g_deleted;
  if (strcmp(name, "password") == 0) return g_passwordGiven;
  if (strcmp(name, "logonFlags") == 0) return (LONG)g_logonFlags;
  return -1;
}

const char* WINAPI StandinText(const char* name) {
  if (strcmp(name, "profile") == 0) return g_profile;
  return "";
}

/* ---- objects ----------------------------------------------------------------- */

enum Kind { K_SESSION, K_TABLE, K_STORE, K_FOLDER, K_MESSAGE };
enum TableKind { T_STORES, T_CONTENTS, T_RECIPIENTS, T_ATTACHMENTS };

typedef struct Object {
  const void* lpVtbl;
  LONG refs;
  enum Kind kind;
  const char* name; /* the interface, for the unserved-slot message */
  int message;      /* K_MESSAGE, and the recipient table of a message */
  enum TableKind table;
  ULONG rows;
  ULONG cursor;
  ULONG columns[16];
  ULONG columnCount;
} Object;

static IMAPISessionVtbl g_sessionVtbl;
static IMAPITableVtbl g_tableVtbl;
static IMsgStoreVtbl g_storeVtbl;
static IMAPIFolderVtbl g_folderVtbl;
static IMessageVtbl g_messageVtbl;

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
static const char kInboxEntry[] = "STANDIN-INBOX";

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
  }
  return FALSE;
}

static BOOL objectProp(const Object* o, ULONG tag, SPropValue* v, LPVOID parent) {
  switch (o->kind) {
    case K_STORE:
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, "Mailbox", parent);
      return FALSE;
    case K_FOLDER:
      if (tag == PR_DISPLAY_NAME_A) return setString(v, tag, "Inbox", parent);
      if (tag == PR_CONTENT_COUNT) {
        v->ulPropTag = tag;
        v->Value.l = g_messages;
        return TRUE;
      }
      return FALSE;
    case K_MESSAGE:
      return messageProp(o->message, tag, v, parent);
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

static HRESULT STDMETHODCALLTYPE SaveChanges_(void* self, ULONG ulFlags) {
  (void)self;
  (void)ulFlags;
  return S_OK;
}

/* A message's string property as a stream to read (the system's stream on
   memory); nothing else is served through streams. */
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
  if (o->kind != K_MESSAGE || PROP_TYPE(ulPropTag) != PT_STRING8 || !lpiid || !IsEqualIID(lpiid, &IID_IStream) ||
      (ulFlags & (MAPI_CREATE | MAPI_MODIFY)))
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
  (void)self; (void)ulUIParam; (void)lpInterface; (void)ulFlags;
  if (lppAdrBook) *lppAdrBook = NULL;
  return MAPI_E_NO_SUPPORT;
}

static HRESULT STDMETHODCALLTYPE Session_Logoff(void* self, ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) {
  (void)self; (void)ulUIParam; (void)ulFlags; (void)ulReserved;
  InterlockedIncrement(&g_logoff);
  return S_OK;
}

/* ---- store and folder -------------------------------------------------------------- */

static HRESULT STDMETHODCALLTYPE Store_GetReceiveFolder(void* self, LPTSTR lpszMessageClass, ULONG ulFlags,
                                                        ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                                                        LPTSTR* lppszExplicitClass) {
  LPVOID copy = NULL;
  (void)self; (void)lpszMessageClass; (void)ulFlags;
  if (!lpcbEntryID || !lppEntryID) return E_INVALIDARG;
  if (MAPIAllocateBuffer(sizeof kInboxEntry - 1, &copy) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  memcpy(copy, kInboxEntry, sizeof kInboxEntry - 1);
  *lpcbEntryID = sizeof kInboxEntry - 1;
  *lppEntryID = (LPENTRYID)copy;
  if (lppszExplicitClass) *lppszExplicitClass = NULL;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Store_OpenEntry(void* self, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                                                 ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) {
  Object* folder;
  (void)self; (void)lpInterface; (void)ulFlags;
  if (!lppUnk) return E_INVALIDARG;
  *lppUnk = NULL;
  if (!sameEntry(cbEntryID, lpEntryID, kInboxEntry)) return MAPI_E_NOT_FOUND;
  folder = newObject(K_FOLDER);
  if (!folder) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (lpulObjType) *lpulObjType = MAPI_FOLDER;
  *lppUnk = (LPUNKNOWN)folder;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_GetContentsTable(void* self, ULONG ulFlags, LPMAPITABLE* lppTable) {
  Object* t;
  (void)self; (void)ulFlags;
  if (!lppTable) return E_INVALIDARG;
  t = newTable(T_CONTENTS, (ULONG)g_messages, 0);
  if (!t) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppTable = (LPMAPITABLE)t;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE Folder_OpenEntry(void* self, ULONG cbEntryID, LPENTRYID lpEntryID,
                                                  LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                                                  LPUNKNOWN* lppUnk) {
  char entry[32];
  int n;
  Object* message;
  (void)self; (void)lpInterface; (void)ulFlags;
  if (!lppUnk) return E_INVALIDARG;
  *lppUnk = NULL;
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

  fillUnserved(&g_messageVtbl, sizeof g_messageVtbl);
  SET_UNKNOWN(g_messageVtbl);
  SET_PROP(g_messageVtbl);
  g_messageVtbl.GetRecipientTable = (void*)Message_GetRecipientTable;
  g_messageVtbl.GetAttachmentTable = (void*)Message_GetAttachmentTable;
  g_messageVtbl.SetReadFlag = (void*)Message_SetReadFlag;
  g_messageVtbl.CopyTo = (void*)Message_CopyTo;
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

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) buildVtables();
  return TRUE;
}
