/*
 * Runs the 32-bit Windows JNI library for real (under Wine): this program
 * plays the JVM (fakejvm.c), loads tolvanemapi81_build001.dll with
 * LoadLibrary, finds each native by its stdcall-decorated name and calls it
 * through the stack probe (stack_probe.S), which proves that the native pops
 * exactly the @N bytes of its name. MAPI behind the library is Wine's mapi32
 * forwarding to the stand-in provider (standin_mapi.c), set per scenario.
 *
 *   wine_jni_test.exe SCENARIO TEMP_DIR LIBRARY PROVIDER
 *
 * SCENARIO is one of those in main(); TEMP_DIR an empty folder of its own
 * (the library's TEMP and temporary directory); LIBRARY and PROVIDER the
 * Windows paths of the two DLLs (PROVIDER as the registry names it).
 * Prints "ok: ..." or "FAIL: ..." per check and "N passed, M failed" at the
 * end; exits 0 only when every check passed.
 */
#include "fakejvm.h"

#include <windows.h>
#include <oleauto.h>
#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- checks ------------------------------------------------------------------ */

static int g_passed, g_failed;

static int check(int ok, const char* fmt, ...) {
  va_list args;
  printf(ok ? "ok: " : "FAIL: ");
  va_start(args, fmt);
  vprintf(fmt, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
  if (ok) ++g_passed;
  else ++g_failed;
  return ok;
}

/* A check that only speaks when it fails (per-call invariants). */
static void quietCheck(int ok, const char* fmt, ...) {
  va_list args;
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  printf("FAIL: ");
  va_start(args, fmt);
  vprintf(fmt, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

static const char* show(const char* text) { return text ? text : "(null)"; }

/* ---- the natives ------------------------------------------------------------------- */

/* params: S String, J long (a handle), I int, Z boolean, O an object
   (the Folder, MAPIMessage or MAPIMultipart that the method takes).
   result: V void, Z boolean, I int, J long, L object, D double.
   handle0: what a 0 handle does: 'X' raises "Invalid class pointer.",
   'N' nothing, '-' no handle. */
typedef struct Native {
  const char* name;
  const char* params;
  char result;
  char handle0;
} Native;

static const Native g_natives[] = {
    {"initMapi", "", 'Z', '-'},
    {"getStore", "SSSS", 'J', '-'},
    {"getInbox", "J", 'J', 'X'},
    {"closeStore", "J", 'V', 'N'},
    {"openFolder", "JI", 'V', 'X'},
    {"getFolderMessageCount", "J", 'I', 'X'},
    {"getFolderMessage", "JOI", 'L', 'X'},
    {"getFolderMessages", "JO", 'L', 'X'},
    {"getFolderMessageChunk", "JOII", 'L', 'X'},
    {"isFolderOpen", "J", 'Z', 'X'},
    {"closeFolder", "JZ", 'V', 'N'},
    {"destroyMessage", "J", 'V', 'N'},
    {"getMessageSubject", "J", 'L', 'X'},
    {"getMessageText", "J", 'L', 'X'},
    {"getMessageHTML", "J", 'L', 'X'},
    {"getMessageFrom", "J", 'L', 'X'},
    {"getMessageTo", "J", 'L', 'X'},
    {"getMessageCC", "J", 'L', 'X'},
    {"getMessageBCC", "J", 'L', 'X'},
    {"getMessageReplyTo", "J", 'L', 'X'},
    {"getMessageSentDate", "J", 'D', 'X'},
    {"getMessageReceiveTime", "J", 'D', 'X'},
    {"getMessageID", "J", 'L', 'X'},
    {"getMessagePriority", "J", 'L', 'X'},
    {"setMessageDeleteFlag", "JZ", 'V', 'X'},
    {"getMessageContent", "JO", 'L', 'X'},
    {"getMultipartCount", "J", 'I', 'X'},
    {"getMultipartBodypart", "JOI", 'L', 'X'},
    {"getBodypartDisposition", "J", 'L', 'X'},
    {"writeBodypartToFile", "JS", 'V', 'X'},
    {"getMessageFile", "J", 'L', 'X'},
    {"getTransport", "SSSS", 'J', '-'},
    {"createMessage", "J", 'J', 'X'},
    {"setMessageSubject", "JS", 'V', 'X'},
    {"addMessageToRecipient", "JSS", 'V', 'X'},
    {"addMessageCCRecipient", "JSS", 'V', 'X'},
    {"addMessageBCCRecipient", "JSS", 'V', 'X'},
    {"addMessageFrom", "JSS", 'V', 'X'},
    {"setMessagePriority", "JI", 'V', 'X'},
    {"setMessageXHeader", "JSS", 'V', 'X'},
    {"sendMessage", "J", 'V', 'X'},
    {"setMessagePlainTextBody", "JS", 'V', 'X'},
    {"setMessageHTMLBody", "JS", 'V', 'X'},
    {"addMessageAttachment", "JSSS", 'V', 'X'},
    {"addMessageInlineAttachment", "JSSSS", 'V', 'X'},
    {"setMessageReplyTo", "JSS", 'V', 'X'},
    {"closeTransport", "J", 'V', 'N'},
};
#define MAPINATIVE_COUNT ((int)(sizeof g_natives / sizeof g_natives[0]))

/* The natives of com.plimo.mail.mapi.MAPINativeAttached: attached messages,
   and a part's data read as a stream. */
static const Native g_attachedNatives[] = {
    {"openAttachedMessage", "JIO", 'J', 'X'},
    {"closeAttachedMessage", "J", 'V', 'X'},
    {"liveAttachedMessages", "", 'I', '-'},
    {"readPartData", "JJOII", 'I', 'X'},
    {"getMessageAuthor", "J", 'L', 'X'},
    {"getMessageHeaders", "J", 'L', 'X'},
    {"getMessageSize", "J", 'I', 'X'},
    {"keepReadState", "J", 'V', 'X'},
    {"getReadStates", "JII", 'L', 'X'},
    {"refreshFolder", "J", 'I', 'X'},
    {"expungeFolder", "J", 'L', 'X'},
    {"setMessageRead", "JZ", 'V', 'X'},
    {"getMessageMime", "J", 'L', 'X'},
    {"getPartMime", "J", 'L', 'X'},
};
#define ATTACHED_COUNT ((int)(sizeof g_attachedNatives / sizeof g_attachedNatives[0]))
#define NATIVE_COUNT (MAPINATIVE_COUNT + ATTACHED_COUNT)

/* Native k of both classes: MAPINative's, then MAPINativeAttached's. */
static const Native* nativeAt(int k) {
  return k < MAPINATIVE_COUNT ? &g_natives[k] : &g_attachedNatives[k - MAPINATIVE_COUNT];
}

static int isAttachedNative(const Native* n) {
  return n >= g_attachedNatives && n < g_attachedNatives + ATTACHED_COUNT;
}

/* Bytes of arguments on the 32-bit stack: JNIEnv* and the class, then 8 per
   long and 4 per anything else. */
static int argumentBytes(const Native* n) {
  const char* p;
  int bytes = 8;
  for (p = n->params; *p; ++p) bytes += *p == 'J' ? 8 : 4;
  return bytes;
}

static void decoratedName(const Native* n, char* out, size_t size) {
  snprintf(out, size, "_Java_com_plimo_mail_mapi_%s_%s@%d", isAttachedNative(n) ? "MAPINativeAttached" : "MAPINative",
           n->name, argumentBytes(n));
}

static const Native* nativeNamed(const char* name) {
  int i;
  for (i = 0; i < NATIVE_COUNT; ++i)
    if (strcmp(nativeAt(i)->name, name) == 0) return nativeAt(i);
  printf("FAIL: the test has no native %s\n", name);
  exit(2);
}

/* ---- the library and the provider -------------------------------------------------- */

typedef struct ProbeResult {
  unsigned eax, edx;
  double st0;
  int popped;
} ProbeResult;
int probe_call(void* fn, const unsigned* words, unsigned count, ProbeResult* out, int returnsDouble);

static const char* g_libraryPath;
static const char* g_providerPath;
static char g_tempDir[MAX_PATH];
static HMODULE g_library;
static HMODULE g_provider;

typedef int(WINAPI* ConfigureFn)(const char*, int);
typedef LONG(WINAPI* CountFn)(const char*);
typedef const char*(WINAPI* TextFn)(const char*);
typedef const char*(WINAPI* SubmittedFn)(const char*, int, ULONG);
static ConfigureFn g_configure;
static CountFn g_count;
static TextFn g_text;
static SubmittedFn g_submitted;

static LONG count(const char* what) { return g_count(what); }

static void openProvider(const char* scenario, int messages) {
  g_provider = LoadLibraryA(g_providerPath);
  if (!g_provider) {
    printf("FAIL: the stand-in provider %s does not load (error %lu)\n", g_providerPath, GetLastError());
    exit(1);
  }
  g_configure = (ConfigureFn)(void*)GetProcAddress(g_provider, "StandinConfigure");
  g_count = (CountFn)(void*)GetProcAddress(g_provider, "StandinCount");
  g_text = (TextFn)(void*)GetProcAddress(g_provider, "StandinText");
  g_submitted = (SubmittedFn)(void*)GetProcAddress(g_provider, "StandinSubmitted");
  if (!g_configure || !g_count || !g_text || !g_submitted || !g_configure(scenario, messages)) {
    printf("FAIL: the stand-in provider does not take the scenario %s\n", scenario);
    exit(1);
  }
}

static void loadLibrary(void) {
  g_library = LoadLibraryA(g_libraryPath);
  if (!check(g_library != NULL, "LoadLibrary loads %s", g_libraryPath)) {
    printf("  (error %lu)\n", GetLastError());
    exit(1);
  }
}

static void freeLibrary(void) {
  check(FreeLibrary(g_library) != 0, "FreeLibrary unloads the library");
  g_library = NULL;
  /* Unloaded for good: a later LoadLibrary starts from fresh statics. */
  check(GetModuleHandleA(g_libraryPath) == NULL, "the library is no longer mapped after FreeLibrary");
}

/* ---- calling a native ------------------------------------------------------------------- */

typedef struct Result {
  jvalue value; /* Z, I, J */
  double d;     /* D */
  Obj* obj;     /* L */
  Obj* thrown;  /* the exception left pending, or NULL */
  int popped;
} Result;

static int g_quietStack; /* the per-call stack check speaks only on failure */

/* Calls a native with the arguments its params name: S const char* (NULL for
   null), J jlong, I and Z int, O jobject. */
static Result callNative(const char* name, ...) {
  const Native* n = nativeNamed(name);
  char decorated[128];
  unsigned words[16];
  unsigned count = 0;
  const char* p;
  void* fn;
  ProbeResult probe;
  Result r;
  va_list args;
  memset(&r, 0, sizeof r);
  decoratedName(n, decorated, sizeof decorated);
  fn = (void*)GetProcAddress(g_library, decorated);
  if (!fn) {
    check(0, "%s is exported", decorated);
    return r;
  }
  words[count++] = (unsigned)(uintptr_t)jvm_env();
  words[count++] = (unsigned)(uintptr_t)jvm_native_class();
  va_start(args, name);
  for (p = n->params; *p; ++p) {
    switch (*p) {
      case 'S':
        words[count++] = (unsigned)(uintptr_t)jvm_string(va_arg(args, const char*));
        break;
      case 'J': {
        unsigned long long v = (unsigned long long)va_arg(args, jlong);
        words[count++] = (unsigned)(v & 0xFFFFFFFFu);
        words[count++] = (unsigned)(v >> 32);
        break;
      }
      case 'I':
      case 'Z':
        words[count++] = (unsigned)va_arg(args, int);
        break;
      default:
        words[count++] = (unsigned)(uintptr_t)va_arg(args, jobject);
        break;
    }
  }
  va_end(args);

  jvm_begin(name);
  r.popped = probe_call(fn, words, count, &probe, n->result == 'D');
  switch (n->result) {
    case 'Z': r.value.z = (jboolean)(probe.eax & 0xFF); break;
    case 'I': r.value.i = (jint)probe.eax; break;
    case 'J': r.value.j = (jlong)(((unsigned long long)probe.edx << 32) | probe.eax); break;
    case 'L': r.obj = probe.eax ? jvm_deref((jobject)(uintptr_t)probe.eax) : NULL; break;
    case 'D': r.d = probe.st0; break;
    default: break;
  }
  quietCheck(jvm_local_peak() <= 16, "%s held %d local references at once (the JVM guarantees 16)", name,
             jvm_local_peak());
  r.thrown = jvm_end();
  if (g_quietStack)
    quietCheck(r.popped == argumentBytes(n), "%s popped %d bytes of arguments, its name says %d", decorated,
               r.popped, argumentBytes(n));
  return r;
}

static const char* thrownText(const Result* r) { return r->thrown ? r->thrown->bytes : NULL; }

/* The native raised a MessagingException with exactly this text. */
static int raised(const char* what, const Result* r, const char* text) {
  int ok = r->thrown && strcmp(r->thrown->cls->name, "javax/mail/MessagingException") == 0 &&
           strcmp(r->thrown->bytes, text) == 0;
  if (!ok && r->thrown)
    return check(0, "%s raises \"%s\" (got %s: \"%s\")", what, text, r->thrown->cls->name, r->thrown->bytes);
  return check(ok, "%s raises \"%s\"%s", what, text, r->thrown ? "" : " (nothing raised)");
}

static int raisedNothing(const char* what, const Result* r) {
  return check(r->thrown == NULL, "%s raises nothing%s%s", what, r->thrown ? ", raised: " : "",
               r->thrown ? r->thrown->bytes : "");
}

/* The system's text for an error code, as FormatMessageA gives it. */
static void systemText(DWORD code, char* out, size_t size) {
  LPSTR buffer = NULL;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                           NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&buffer, 0, NULL);
  out[0] = '\0';
  if (n && buffer) lstrcpynA(out, buffer, (int)size);
  if (buffer) LocalFree(buffer);
}

static const char* stringOf(Obj* o) { return o && o->kind == O_STRING ? o->bytes : NULL; }

static int sameText(const char* a, const char* b) { return a && b && strcmp(a, b) == 0; }

/* ---- files ----------------------------------------------------------------------------- */

static char* readFile(const char* path, DWORD* size) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  char* data;
  DWORD got = 0;
  if (h == INVALID_HANDLE_VALUE) return NULL;
  *size = GetFileSize(h, NULL);
  data = (char*)calloc(*size + 1, 1);
  ReadFile(h, data, *size, &got, NULL);
  CloseHandle(h);
  *size = got;
  return data;
}

static int fileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

/* Files in the temporary folder whose names match pattern; the first one's
   path goes to first. */
static int filesMatching(const char* pattern, char* first, size_t size) {
  char searchPath[MAX_PATH * 2];
  WIN32_FIND_DATAA data;
  HANDLE h;
  int n = 0;
  snprintf(searchPath, sizeof searchPath, "%s\\%s", g_tempDir, pattern);
  h = FindFirstFileA(searchPath, &data);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
    if (n++ == 0 && first) snprintf(first, size, "%s\\%s", g_tempDir, data.cFileName);
  } while (FindNextFileA(h, &data));
  FindClose(h);
  return n;
}

static void logPath(char* out, size_t size) {
  snprintf(out, size, "%s\\mapi-ee-%lu.log", g_tempDir, (unsigned long)GetCurrentProcessId());
}

static void setEnv(const char* assignment) {
  /* _putenv changes the C runtime's copy that getenv reads (the library
     shares msvcrt with this program), and the process environment. */
  _putenv(assignment);
}

/* Every function the library imports resolves in the DLL that it names:
   Windows refuses to load a DLL with an import that does not (Wine binds a
   stub that aborts when called, so LoadLibrary alone proves nothing). */
static void checkImports(HMODULE module) {
  const BYTE* base = (const BYTE*)module;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY* d = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const IMAGE_IMPORT_DESCRIPTOR* imp = (const IMAGE_IMPORT_DESCRIPTOR*)(base + d->VirtualAddress);
  int total = 0, unresolved = 0;
  for (; imp->Name; ++imp) {
    const char* dll = (const char*)(base + imp->Name);
    HMODULE target = GetModuleHandleA(dll);
    const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + imp->OriginalFirstThunk);
    const IMAGE_THUNK_DATA* bound = (const IMAGE_THUNK_DATA*)(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++bound) {
      const char* name;
      char ordinal[16];
      FARPROC real;
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
        snprintf(ordinal, sizeof ordinal, "#%lu", (unsigned long)IMAGE_ORDINAL(names->u1.Ordinal));
        name = ordinal;
        real = target ? GetProcAddress(target, (LPCSTR)(ULONG_PTR)IMAGE_ORDINAL(names->u1.Ordinal)) : NULL;
      } else {
        name = (const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
        real = target ? GetProcAddress(target, name) : NULL;
      }
      ++total;
      if (!real || (ULONG_PTR)real != (ULONG_PTR)bound->u1.Function) {
        ++unresolved;
        check(0, "the import %s!%s resolves in %s (Windows would refuse to load the library)", dll, name, dll);
      }
    }
  }
  check(total > 0 && unresolved == 0, "every one of the library's %d imports resolves in the DLL it names", total);
}

/* Points the library's import of dll!name at replacement; FALSE when the
   library does not import it. */
static int patchImport(HMODULE module, const char* dll, const char* name, void* replacement) {
  const BYTE* base = (const BYTE*)module;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY* d = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const IMAGE_IMPORT_DESCRIPTOR* imp = (const IMAGE_IMPORT_DESCRIPTOR*)(base + d->VirtualAddress);
  for (; imp->Name; ++imp) {
    const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + imp->OriginalFirstThunk);
    IMAGE_THUNK_DATA* bound = (IMAGE_THUNK_DATA*)(base + imp->FirstThunk);
    if (_stricmp((const char*)(base + imp->Name), dll) != 0) continue;
    for (; names->u1.AddressOfData; ++names, ++bound) {
      DWORD old;
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      if (strcmp((const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name, name) != 0)
        continue;
      VirtualProtect(&bound->u1.Function, sizeof bound->u1.Function, PAGE_READWRITE, &old);
      bound->u1.Function = (ULONG_PTR)replacement;
      VirtualProtect(&bound->u1.Function, sizeof bound->u1.Function, old, &old);
      return 1;
    }
  }
  return 0;
}

/* Wine's mapi32 has no message-on-storage (OpenIMsgSession is a stub that
   aborts the process). The .msg export is run up to there, with this
   stand-in refusing the session as a mapi32 without it would. */
static int g_openIMsgSessionCalls;
static SCODE WINAPI standinOpenIMsgSession(LPVOID lpMalloc, ULONG ulFlags, LPVOID* lppMsgSess) {
  (void)lpMalloc;
  (void)ulFlags;
  ++g_openIMsgSessionCalls;
  if (lppMsgSess) *lppMsgSess = NULL;
  return MAPI_E_NO_SUPPORT;
}

/* The probe tells a stdcall callee (which pops its arguments) from a cdecl
   one (which leaves them): otherwise its verdicts on the natives mean
   nothing. */
static void checkProbe(void) {
  unsigned words[1];
  ProbeResult out;
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  words[0] = (unsigned)(uintptr_t) "probe";
  check(probe_call((void*)GetProcAddress(kernel, "lstrlenA"), words, 1, &out, 0) == 4 && out.eax == 5,
        "the stack probe sees the stdcall lstrlenA pop its 4 bytes");
  check(probe_call((void*)GetProcAddress(crt, "strlen"), words, 1, &out, 0) == 0 && out.eax == 5,
        "the stack probe sees the cdecl strlen pop nothing");
}

/* The test JVM notices the misuse it is there to notice: a JNI call while
   an exception is pending, a local reference used after DeleteLocalRef, and
   more local references than a frame guarantees. */
static void checkJvm(void) {
  JNIEnv* env = jvm_env();
  jclass cls;
  int i, before = jvm_violations();
  jvm_quiet_violations(1);
  jvm_begin("the JVM's self-test");
  cls = (*env)->FindClass(env, "javax/mail/MessagingException");
  (*env)->ThrowNew(env, cls, "pending");
  (*env)->DeleteLocalRef(env, cls); /* allowed while pending */
  check(jvm_violations() == before, "the test JVM allows DeleteLocalRef while an exception is pending");
  (*env)->FindClass(env, "java/lang/String");
  check(jvm_violations() == before + 1, "the test JVM rejects FindClass while an exception is pending");
  (*env)->ExceptionClear(env);
  (*env)->GetObjectClass(env, cls);
  check(jvm_violations() == before + 2, "the test JVM rejects a deleted local reference");
  jvm_end();
  jvm_begin("the JVM's self-test");
  for (i = 0; i < 20; ++i) {
    cls = (*env)->FindClass(env, "java/lang/String");
    if (i % 2) (*env)->DeleteLocalRef(env, cls);
  }
  check(jvm_local_peak() == 11 && jvm_locals_left() == 10,
        "the test JVM counts the local references a native holds (peak %d, %d left)", jvm_local_peak(),
        jvm_locals_left());
  jvm_end();
  jvm_quiet_violations(0);
  jvm_forget_violations();
}

/* ---- scenarios ------------------------------------------------------------------------------ */

/* The export table names exactly the 47 natives, each with its argument
   size; each is called with handle 0 (and real arguments otherwise) through
   the stack probe. */
static void scenarioExports(void) {
  const BYTE* base;
  const IMAGE_NT_HEADERS* nt;
  const IMAGE_EXPORT_DIRECTORY* dir;
  const DWORD* names;
  DWORD i;
  int k, found[64] = {0}, unexpected = 0;
  jobject folder, message, multipart;
  LONG initBefore, uninitBefore;

  openProvider("logon-fails", 0);
  initBefore = count("MAPIInitialize");
  uninitBefore = count("MAPIUninitialize");
  checkProbe();
  checkJvm();
  loadLibrary();
  checkImports(g_library);

  base = (const BYTE*)g_library;
  nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  dir = (const IMAGE_EXPORT_DIRECTORY*)(base +
                                        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  names = (const DWORD*)(base + dir->AddressOfNames);
  check(strcmp((const char*)(base + dir->Name), "tolvanemapi81_build001.dll") == 0,
        "the loaded module's export directory names it tolvanemapi81_build001.dll (%s)",
        (const char*)(base + dir->Name));
  for (i = 0; i < dir->NumberOfNames; ++i) {
    const char* exported = (const char*)(base + names[i]);
    int match = 0;
    for (k = 0; k < NATIVE_COUNT; ++k) {
      char decorated[128];
      decoratedName(nativeAt(k), decorated, sizeof decorated);
      if (strcmp(decorated, exported) == 0) {
        found[k]++;
        match = 1;
      }
    }
    if (!match) {
      ++unexpected;
      check(0, "export %s is none of the %d natives", exported, NATIVE_COUNT);
    }
  }
  check(dir->NumberOfFunctions == dir->NumberOfNames, "every export has a name (%lu functions, %lu names)",
        (unsigned long)dir->NumberOfFunctions, (unsigned long)dir->NumberOfNames);
  for (k = 0; k < NATIVE_COUNT; ++k) {
    char decorated[128];
    decoratedName(nativeAt(k), decorated, sizeof decorated);
    if (found[k] != 1) check(0, "%s is exported once (found %d)", decorated, found[k]);
  }
  check(dir->NumberOfNames == NATIVE_COUNT && unexpected == 0, "the DLL exports exactly the %d natives (%lu names)",
        NATIVE_COUNT, (unsigned long)dir->NumberOfNames);

  folder = jvm_new_plain("javax/mail/Folder");
  message = jvm_new_plain("com/plimo/mail/mapi/MAPIMessage");
  multipart = jvm_new_plain("com/plimo/mail/mapi/MAPIMultipart");

  for (k = 0; k < NATIVE_COUNT; ++k) {
    const Native* n = nativeAt(k);
    char what[160], decorated[128];
    Result r;
    decoratedName(n, decorated, sizeof decorated);
    if (strcmp(n->params, "") == 0) {
      r = callNative(n->name);
    } else if (strcmp(n->params, "SSSS") == 0) {
      r = callNative(n->name, "Standin", "s3cret", "Mailbox", g_tempDir);
    } else if (strcmp(n->params, "J") == 0) {
      r = callNative(n->name, (jlong)0);
    } else if (strcmp(n->params, "JI") == 0 || strcmp(n->params, "JZ") == 0) {
      r = callNative(n->name, (jlong)0, 1);
    } else if (strcmp(n->params, "JO") == 0) {
      r = callNative(n->name, (jlong)0, strcmp(n->name, "getMessageContent") == 0 ? message : folder);
    } else if (strcmp(n->params, "JOI") == 0) {
      r = callNative(n->name, (jlong)0, strcmp(n->name, "getMultipartBodypart") == 0 ? multipart : folder, 1);
    } else if (strcmp(n->params, "JIO") == 0) {
      r = callNative(n->name, (jlong)0, 1, message);
    } else if (strcmp(n->params, "JOII") == 0) {
      r = callNative(n->name, (jlong)0, folder, 1, 2);
    } else if (strcmp(n->params, "JJOII") == 0) {
      r = callNative(n->name, (jlong)0, (jlong)0, (jobject)NULL, 0, 16);
    } else if (strcmp(n->params, "JS") == 0) {
      r = callNative(n->name, (jlong)0, "text");
    } else if (strcmp(n->params, "JSS") == 0) {
      r = callNative(n->name, (jlong)0, "Name", "name@example.com");
    } else if (strcmp(n->params, "JSSS") == 0) {
      r = callNative(n->name, (jlong)0, "a.txt", "text/plain", "C:\\a.txt");
    } else {
      r = callNative(n->name, (jlong)0, "a.png", "image/png", "C:\\a.png", "cid-1");
    }
    check(r.popped == argumentBytes(n), "%s pops exactly %d bytes (popped %d)", decorated, argumentBytes(n),
          r.popped);

    snprintf(what, sizeof what, "%s with handle 0", n->name);
    if (n->handle0 == 'X') {
      int failureValue = (n->result == 'L' && r.obj == NULL) || (n->result == 'J' && r.value.j == 0) ||
                         (n->result == 'I' && r.value.i == 0) || (n->result == 'Z' && r.value.z == JNI_FALSE) ||
                         (n->result == 'D' && r.d == 0.0) || n->result == 'V';
      raised(what, &r, "Invalid class pointer.");
      check(failureValue, "%s returns its failure value", what);
    } else if (n->handle0 == 'N') {
      raisedNothing(what, &r);
    } else if (strcmp(n->name, "initMapi") == 0) {
      check(r.value.z == JNI_TRUE, "initMapi returns true");
      raisedNothing("initMapi", &r);
    } else if (strcmp(n->name, "liveAttachedMessages") == 0) {
      check(r.value.i == 0, "liveAttachedMessages counts no attached message (%d)", (int)r.value.i);
      raisedNothing("liveAttachedMessages", &r);
    } else {
      /* getStore and getTransport: the stand-in refuses the logon. */
      snprintf(what, sizeof what, "%s with a profile the stand-in refuses", n->name);
      raised(what, &r, "MAPILogonEx Failed - Unable to login to MAPI");
      check(r.value.j == 0, "%s returns 0", what);
    }
  }
  /* The two body setters end silently on an empty body before the handle
     is looked at. */
  {
    Result r = callNative("setMessagePlainTextBody", (jlong)0, "");
    raisedNothing("setMessagePlainTextBody with handle 0 and an empty body", &r);
    r = callNative("setMessageHTMLBody", (jlong)0, (const char*)NULL);
    raisedNothing("setMessageHTMLBody with handle 0 and a null body", &r);
  }

  freeLibrary();
  check(count("MAPIInitialize") - initBefore == 1, "initMapi started MAPI once (%ld)",
        count("MAPIInitialize") - initBefore);
  check(count("MAPIUninitialize") - uninitBefore == 1, "FreeLibrary ended MAPI exactly once (%ld)",
        count("MAPIUninitialize") - uninitBefore);
}

/* Loading and unloading start and end MAPI only as the library's own
   initMapi calls say. */
static void scenarioLifecycle(void) {
  LONG init, uninit, logon;
  Result r;
  openProvider("inbox", 3);

  init = count("MAPIInitialize");
  uninit = count("MAPIUninitialize");
  loadLibrary();
  freeLibrary();
  check(count("MAPIInitialize") == init, "loading and unloading without a native call starts no MAPI");
  check(count("MAPIUninitialize") == uninit, "FreeLibrary without initMapi does not call MAPIUninitialize (%ld)",
        count("MAPIUninitialize") - uninit);

  loadLibrary();
  r = callNative("initMapi");
  check(r.value.z == JNI_TRUE, "initMapi returns true");
  r = callNative("initMapi");
  check(r.value.z == JNI_TRUE, "a second initMapi returns true");
  check(count("MAPIInitialize") - init == 1, "two initMapi calls start MAPI once (%ld)", count("MAPIInitialize") - init);
  freeLibrary();
  check(count("MAPIUninitialize") - uninit == 1, "FreeLibrary then calls MAPIUninitialize exactly once (%ld)",
        count("MAPIUninitialize") - uninit);

  /* A fresh load has forgotten the earlier start: a logon needs initMapi. */
  init = count("MAPIInitialize");
  uninit = count("MAPIUninitialize");
  logon = count("MAPILogonEx");
  loadLibrary();
  r = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir);
  check(r.value.j == 0 && r.thrown != NULL && r.thrown->bytes[0] != '\0',
        "getStore before initMapi fails with a text (\"%s\")", show(thrownText(&r)));
  check(count("MAPILogonEx") == logon, "getStore before initMapi does not log on");
  freeLibrary();
  check(count("MAPIInitialize") == init && count("MAPIUninitialize") == uninit,
        "that load neither started nor ended MAPI");
}

/* MAPIInitialize fails: initMapi still reports true; the failure reaches
   Java at the logon as the system's text for the saved code. The log is on
   here and is checked afterwards. */
static void scenarioInitFails(void) {
  char expected[512], path[MAX_PATH * 2], env[MAX_PATH + 16], text[600], line[700];
  char* log;
  DWORD size = 0, i;
  int bareLf = 0;
  LONG uninit, logon;
  Result r;

  openProvider("init-fails", 0);
  snprintf(env, sizeof env, "TEMP=%s", g_tempDir);
  setEnv(env);
  setEnv("TOLVANE_MAPI_LOGS=1");
  uninit = count("MAPIUninitialize");
  logon = count("MAPILogonEx");

  loadLibrary();
  r = callNative("initMapi");
  check(r.value.z == JNI_TRUE, "initMapi returns true although MAPIInitialize failed");
  raisedNothing("initMapi", &r);
  check(count("MAPIInitialize") == 1, "MAPIInitialize was called once");

  systemText(ERROR_FILE_NOT_FOUND, expected, sizeof expected);
  check(expected[0] != '\0', "the system has a text for ERROR_FILE_NOT_FOUND");
  r = callNative("getStore", "Standin", "s3cret-pw", "Mailbox", g_tempDir);
  raised("getStore after a failed MAPI start-up", &r, expected);
  check(r.value.j == 0, "getStore returns 0");
  r = callNative("getTransport", "Standin", "s3cret-pw", g_tempDir, "Sent Items");
  raised("getTransport after a failed MAPI start-up", &r, expected);
  check(count("MAPILogonEx") == logon, "no logon was tried");
  freeLibrary();
  check(count("MAPIUninitialize") == uninit, "FreeLibrary does not end MAPI that never started (%ld calls)",
        count("MAPIUninitialize") - uninit);

  logPath(path, sizeof path);
  log = readFile(path, &size);
  if (!check(log != NULL, "TOLVANE_MAPI_LOGS set: the log %s was written", path)) return;
  for (i = 0; i < size; ++i)
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) ++bareLf;
  check(bareLf == 0, "every line of the log ends in CR LF (%d bare LF)", bareLf);
  snprintf(text, sizeof text, "%lu > ", (unsigned long)GetCurrentProcessId());
  check(strncmp(log, text, strlen(text)) == 0, "an entry begins with the process id and \" > \"");
  snprintf(line, sizeof line, "CMapiSession::initMapi failed:  %lu%s", (unsigned long)ERROR_FILE_NOT_FOUND, text);
  check(strstr(log, line) != NULL,
        "the start-up failure is logged without a line break, the next entry following on its line");
  snprintf(line, sizeof line, "Java_com_plimo_mail_mapi_MAPINative_getStore : 'Standin' '********' 'Mailbox' '%s'\r\n",
           g_tempDir);
  check(strstr(log, line) != NULL, "getStore's argument line shows the password as a mask");
  check(strstr(log, "s3cret-pw") == NULL, "the password itself is nowhere in the log");
  check(strstr(log, "Java_com_plimo_mail_mapi_MAPINative_initMapi\r\n") != NULL, "initMapi logs its entry line");
  free(log);
}

/* MAPILogonEx fails; the log is off. */
static void scenarioLogonFails(void) {
  char env[MAX_PATH + 16], path[MAX_PATH * 2];
  LONG uninit;
  Result r;

  openProvider("logon-fails", 0);
  snprintf(env, sizeof env, "TEMP=%s", g_tempDir);
  setEnv(env);
  setEnv("TOLVANE_MAPI_LOGS=");
  uninit = count("MAPIUninitialize");

  loadLibrary();
  callNative("initMapi");
  r = callNative("getStore", "Standin", "s3cret-pw", "Mailbox", g_tempDir);
  raised("getStore with a logon MAPI refuses", &r, "MAPILogonEx Failed - Unable to login to MAPI");
  check(r.value.j == 0, "getStore returns 0");
  check(count("MAPILogonEx") == 1, "MAPILogonEx was called once");
  check(sameText(g_text("profile"), "Standin"), "the logon names the profile (\"%s\")", g_text("profile"));
  check(count("password") == 0, "the password never reaches MAPILogonEx");
  check(count("logonFlags") == 0x8022, "MAPILogonEx gets MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL (0x%lX)",
        (unsigned long)count("logonFlags"));

  r = callNative("getTransport", "Standin", "s3cret-pw", g_tempDir, "Sent Items");
  raised("getTransport with a logon MAPI refuses", &r, "MAPILogonEx Failed - Unable to login to MAPI");
  check(r.value.j == 0, "getTransport returns 0");

  r = callNative("getStore", (const char*)NULL, (const char*)NULL, (const char*)NULL, (const char*)NULL);
  raised("getStore with four null strings", &r, "MAPILogonEx Failed - Unable to login to MAPI");
  check(sameText(g_text("profile"), ""), "null strings log on with an empty profile name");
  check(count("live") == 0, "nothing of the stand-in is left referenced");
  freeLibrary();
  check(count("MAPIUninitialize") - uninit == 1, "FreeLibrary ends MAPI exactly once");

  logPath(path, sizeof path);
  check(!fileExists(path), "TOLVANE_MAPI_LOGS unset: no log file in TEMP");
  check(filesMatching("*", NULL, 0) == 0, "TOLVANE_MAPI_LOGS unset: nothing at all was written to TEMP");
}

/* The logon succeeds but finding the default store fails. */
static void scenarioStoreLookup(const char* scenario, const char* expected) {
  Result r;
  char what[96];
  openProvider(scenario, 0);
  setEnv("TOLVANE_MAPI_LOGS=");
  loadLibrary();
  callNative("initMapi");
  r = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir);
  snprintf(what, sizeof what, "getStore (%s)", scenario);
  raised(what, &r, expected);
  check(r.value.j == 0, "getStore returns 0");
  check(count("Logoff") == 1, "the session was logged off before the exception left (%ld)", count("Logoff"));
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
  freeLibrary();
  check(count("MAPIUninitialize") == 1, "FreeLibrary ends MAPI exactly once");
}

static double automationDate(int minutes) {
  SYSTEMTIME st = {2024, 1, 2, 2, 3, 4, 5, 0};
  FILETIME ft;
  ULARGE_INTEGER v;
  double date = 0;
  SystemTimeToFileTime(&st, &ft);
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  v.QuadPart += (ULONGLONG)minutes * 60u * 10000000u;
  ft.dwLowDateTime = v.LowPart;
  ft.dwHighDateTime = v.HighPart;
  FileTimeToSystemTime(&ft, &st);
  SystemTimeToVariantTime(&st, &date);
  return date;
}

static int isTempFileName(const char* path) {
  /* GetTempFileNameA(dir, "mpi", 0): dir\mpiXXXX.tmp, XXXX hex. */
  size_t dir = strlen(g_tempDir), len = strlen(path), i;
  const char* name = path + dir + 1;
  if (len < dir + 1 + 3 + 1 + 4 || strncmp(path, g_tempDir, dir) != 0 || path[dir] != '\\') return 0;
  if (strncmp(name, "mpi", 3) != 0 || _stricmp(path + len - 4, ".tmp") != 0) return 0;
  for (i = 3; name + i < path + len - 4; ++i)
    if (!strchr("0123456789ABCDEFabcdef", name[i])) return 0;
  return name + 3 < path + len - 4 && path + len - 4 - (name + 3) <= 4;
}

/* A .msg export: its file is named and made by GetTempFileNameA in the
   store's temporary directory, and removed with the message. */
static void exportMessage(jlong message, char* path, size_t size) {
  Result r = callNative("getMessageFile", message);
  path[0] = '\0';
  if (r.thrown) {
    /* Wine's mapi32 has no message-on-storage: the export fails after the
       file was made, and the file stays named by the message. */
    check(strncmp(r.thrown->bytes, "CMapiMessage::SavetoMSG, OpenIMsgSession failed", 47) == 0,
          "getMessageFile raises the .msg writer's failure (\"%s\")", r.thrown->bytes);
    check(filesMatching("mpi*", path, size) == 1, "the export made one file mpi* in the temporary directory");
  } else {
    lstrcpynA(path, show(stringOf(r.obj)), (int)size);
    check(fileExists(path), "getMessageFile returns the path of a file that exists (%s)", path);
  }
  check(isTempFileName(path), "the file is named by GetTempFileNameA(dir, \"mpi\", 0): %s", path);
}

static Obj* element(Obj* array, int i) { return array && array->kind == O_ARRAY && i < array->length ? array->elems[i] : NULL; }

/* Reading the Inbox of a default store. */
static void scenarioInbox(void) {
  static const char* const subjects[] = {"Quarterly figures", "Lunch on Friday?", "Re: build 81"};
  static const char* const froms[] = {"\"Alice Example\" <alice@example.com>", "\"Bruno Beispiel\" <bruno@example.de>",
                                      "\"Chloe Exemple\" <chloe@example.fr>"};
  static const char* const priorities[] = {"1", "3", "5"};
  static const char* const discarded =
      "The message's content was discarded when its delete flag changed; fetch it again";
  jobject folderObject;
  jlong store, folder, handles[3], multipart = 0, partHandle = 0;
  Result r;
  Obj* array;
  int i;
  char path[MAX_PATH * 2], expected[128], partPath[MAX_PATH * 2] = "";

  openProvider("inbox", 3);
  setEnv("TOLVANE_MAPI_LOGS=");
  loadLibrary();
  check(patchImport(g_library, "MAPI32.DLL", "OpenIMsgSession@12", (void*)standinOpenIMsgSession),
        "the library imports OpenIMsgSession@12 (replaced here: Wine lacks it)");
  callNative("initMapi");
  r = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir);
  raisedNothing("getStore on the stand-in profile", &r);
  store = r.value.j;
  check(store != 0, "getStore returns a handle");

  r = callNative("getInbox", store);
  raisedNothing("getInbox", &r);
  folder = r.value.j;
  check(folder != 0, "getInbox returns a handle");
  r = callNative("isFolderOpen", folder);
  check(r.value.z == JNI_FALSE && !r.thrown, "the Inbox is not open before openFolder");
  r = callNative("openFolder", folder, 0);
  raisedNothing("openFolder", &r);
  r = callNative("isFolderOpen", folder);
  check(r.value.z == JNI_TRUE, "isFolderOpen is true after openFolder");
  r = callNative("getFolderMessageCount", folder);
  check(r.value.i == 3 && !r.thrown, "getFolderMessageCount is 3 (%ld)", (long)r.value.i);

  folderObject = jvm_new_plain("javax/mail/Folder");
  r = callNative("getFolderMessages", folder, folderObject);
  raisedNothing("getFolderMessages", &r);
  array = r.obj;
  check(array && array->kind == O_ARRAY && array->length == 3, "getFolderMessages returns 3 messages");
  for (i = 0; i < 3; ++i) {
    Obj* m = element(array, i);
    jlong h;
    handles[i] = 0;
    if (!check(m && strcmp(m->cls->name, "com/plimo/mail/mapi/MAPIMessage") == 0, "element %d is a MAPIMessage", i))
      continue;
    check(m->number == i + 1 && m->ref[0] == jvm_deref(folderObject),
          "message %d was constructed with the folder and its number", i + 1);
    check(m->pointerSet && m->handle != 0, "message %d was given its native handle", i + 1);
    h = handles[i] = m->handle;

    r = callNative("getMessageSubject", h);
    check(sameText(stringOf(r.obj), subjects[i]) && !r.thrown, "message %d's subject is \"%s\" (\"%s\")", i + 1,
          subjects[i], show(stringOf(r.obj)));
    snprintf(expected, sizeof expected, "Text of message %d.\r\nSecond line.\r\n", i + 1);
    r = callNative("getMessageText", h);
    check(sameText(stringOf(r.obj), expected), "message %d's text is read whole", i + 1);
    r = callNative("getMessageHTML", h);
    check(sameText(stringOf(r.obj), "") && !r.thrown, "message %d without HTML gives \"\"", i + 1);
    snprintf(expected, sizeof expected, "<%d.standin@example.com>", i + 1);
    r = callNative("getMessageID", h);
    check(sameText(stringOf(r.obj), expected), "message %d's Internet message id is %s", i + 1, expected);
    r = callNative("getMessagePriority", h);
    check(sameText(stringOf(r.obj), priorities[i]), "message %d's priority is \"%s\" (\"%s\")", i + 1,
          priorities[i], show(stringOf(r.obj)));
    r = callNative("getMessageSentDate", h);
    check(r.d == automationDate(i + 1) && !r.thrown, "message %d's sent date is the automation date %.9f (%.9f)",
          i + 1, automationDate(i + 1), r.d);
    r = callNative("getMessageReceiveTime", h);
    check(r.d == automationDate(i + 2), "message %d's receive time is %.9f (%.9f)", i + 1, automationDate(i + 2), r.d);
    r = callNative("getMessageFrom", h);
    check(r.obj && r.obj->length == 1 && sameText(stringOf(element(r.obj, 0)), froms[i]),
          "message %d's sender is %s", i + 1, froms[i]);
    snprintf(expected, sizeof expected, "\"Recipient %d\" <recipient%d@example.com>", i + 1, i + 1);
    r = callNative("getMessageTo", h);
    check(r.obj && r.obj->length == 1 && sameText(stringOf(element(r.obj, 0)), expected),
          "message %d's To list is %s", i + 1, expected);
    r = callNative("getMessageCC", h);
    check(r.obj && r.obj->length == 0 && !r.thrown, "message %d has an empty CC list", i + 1);
  }

  /* The content of message 1: its text body as the one part. */
  if (handles[0]) {
    jobject messageObject = jvm_local(element(array, 0));
    Obj* part;
    Obj* multipartObject;
    DWORD size = 0;
    char* written;
    r = callNative("getMessageContent", handles[0], messageObject);
    check(r.obj && strcmp(r.obj->cls->name, "com/plimo/mail/mapi/MAPIMultipart") == 0 && !r.thrown,
          "getMessageContent of a message with a text body returns a MAPIMultipart");
    multipartObject = r.obj;
    multipart = r.obj ? r.obj->handle : 0;
    check(r.obj && multipart != 0 && r.obj->ref[0] == jvm_deref(messageObject),
          "the MAPIMultipart carries its native handle and the MAPIMessage");
    r = callNative("getMultipartCount", multipart);
    check(r.value.i == 1 && !r.thrown, "the content has one part (%ld)", (long)r.value.i);
    r = callNative("getMultipartBodypart", multipart, jvm_local(multipartObject), 0);
    part = r.obj;
    check(part && strcmp(part->cls->name, "com/plimo/mail/mapi/MAPIBodyPart") == 0 && part->handle != 0 &&
              part->ref[0] == multipartObject &&
              sameText(stringOf(part->ref[1]), "text/plain") && sameText(stringOf(part->ref[2]), "") &&
              sameText(stringOf(part->ref[3]), "Text of message 1.\r\nSecond line.\r\n"),
          "part 0 is the text body of the MAPIMultipart: text/plain, no disposition, the text as its content");
    r = callNative("getMultipartBodypart", multipart, (jobject)NULL, 1);
    check(r.obj == NULL && r.thrown != NULL, "getMultipartBodypart past the last part returns null with an exception");
    if (part) {
      partHandle = part->handle;
      snprintf(partPath, sizeof partPath, "%s\\part-1.txt", g_tempDir);
      r = callNative("getBodypartDisposition", part->handle);
      check(sameText(stringOf(r.obj), "") && !r.thrown, "getBodypartDisposition of a body text is \"\"");
      r = callNative("writeBodypartToFile", part->handle, partPath);
      raisedNothing("writeBodypartToFile", &r);
      written = readFile(partPath, &size);
      check(written && size == strlen("Text of message 1.\r\nSecond line.\r\n") &&
                memcmp(written, "Text of message 1.\r\nSecond line.\r\n", size) == 0,
            "writeBodypartToFile wrote the text body's bytes (%lu bytes)", (unsigned long)size);
      free(written);
    }
  }

  r = callNative("getFolderMessage", folder, folderObject, 4);
  raised("getFolderMessage 4 of 3", &r, "Index is out of range");
  check(r.obj == NULL, "getFolderMessage 4 returns null");
  r = callNative("getFolderMessage", folder, folderObject, 0);
  raised("getFolderMessage 0", &r, "Index is out of range");
  r = callNative("getFolderMessage", folder, folderObject, 2);
  check(r.obj && r.obj->number == 2 && r.obj->pointerSet && !r.thrown, "getFolderMessage 2 returns message 2");
  r = callNative("getFolderMessageChunk", folder, folderObject, 2, 3);
  check(r.obj && r.obj->length == 3 && element(r.obj, 0) == NULL && element(r.obj, 1) &&
            element(r.obj, 1)->number == 2 && element(r.obj, 2) && element(r.obj, 2)->number == 3,
        "getFolderMessageChunk 2..3 returns [null, message 2, message 3]");

  /* The .msg export's temporary file. */
  if (handles[0]) {
    exportMessage(handles[0], path, sizeof path);
    check(g_openIMsgSessionCalls == 1, "the export reached OpenIMsgSession once (%d)", g_openIMsgSessionCalls);
    r = callNative("setMessageDeleteFlag", handles[0], 0);
    raisedNothing("setMessageDeleteFlag false", &r);
    check(path[0] && !fileExists(path), "setMessageDeleteFlag removes the exported file");
    check(partPath[0] && !fileExists(partPath),
          "setMessageDeleteFlag discards the content and with it the file its text part was written to");
    r = callNative("getMultipartCount", multipart);
    raised("getMultipartCount of the content that setMessageDeleteFlag discarded", &r, discarded);
    r = callNative("getBodypartDisposition", partHandle);
    raised("getBodypartDisposition of a part of that content", &r, discarded);
  }
  if (handles[1]) exportMessage(handles[1], path, sizeof path);
  if (handles[2]) {
    r = callNative("setMessageDeleteFlag", handles[2], 1);
    raisedNothing("setMessageDeleteFlag true", &r);
  }
  r = callNative("destroyMessage", handles[2]);
  raisedNothing("destroyMessage on a message the folder owns", &r);
  r = callNative("getMessageSubject", handles[2]);
  check(sameText(stringOf(r.obj), subjects[2]), "the folder's message is still usable after destroyMessage");

  r = callNative("closeFolder", folder, 1);
  raisedNothing("closeFolder with expunge", &r);
  check(count("DeleteMessages") == 1, "the one message flagged for deletion was deleted from the Inbox (%ld)",
        count("DeleteMessages"));
  check(path[0] && !fileExists(path), "closing the folder removed the other exported file");
  check(filesMatching("*", NULL, 0) == 0, "nothing is left in the temporary directory");
  r = callNative("getMessageSubject", handles[0]);
  raised("getMessageSubject of a message of the closed folder", &r, "The folder of this message is closed");
  r = callNative("getFolderMessageCount", folder);
  raised("getFolderMessageCount of the closed folder", &r, "The folder is closed");
  r = callNative("closeFolder", folder, 0);
  raised("a second closeFolder", &r, "The folder is already closed");
  r = callNative("closeStore", store);
  raisedNothing("closeStore", &r);
  check(count("Logoff") == 1, "closeStore logged the session off");
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
  r = callNative("getInbox", store);
  raised("getInbox of the closed store", &r, "The store is closed");
  check(r.value.j == 0, "getInbox of the closed store returns 0");
  r = callNative("closeStore", store);
  raised("a second closeStore", &r, "The store is already closed");
  check(count("Logoff") == 1 && count("live") == 0, "neither reached the stand-in");

  /* A transport on the same profile: the stand-in's store has no Outbox. */
  r = callNative("getTransport", "Standin", "pw", g_tempDir, (const char*)NULL);
  raisedNothing("getTransport without a sent folder", &r);
  store = r.value.j;
  check(store != 0, "getTransport returns a handle");
  r = callNative("createMessage", store);
  raised("createMessage on a store without an Outbox", &r,
         "CMapiTransport::createMessage: the store has no Outbox to create the message in");
  check(r.value.j == 0, "createMessage returns 0");
  r = callNative("closeTransport", store);
  raisedNothing("closeTransport", &r);
  check(count("Logoff") == 2, "closeTransport logged its session off");
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
  check(jvm_globals_live() == 0, "every global reference was deleted (%d left)", jvm_globals_live());
  freeLibrary();
  check(count("MAPIUninitialize") == 1, "FreeLibrary ends MAPI exactly once");
}

/* ---- composing ------------------------------------------------------------------------------ */

#define TAG_BODY_HTML_A PROP_TAG(PT_STRING8, 0x1013)
#define TAG_ATTACH_CONTENT_ID_A PROP_TAG(PT_STRING8, 0x3712)
#define TAG_IN_REPLY_TO_ID_A PROP_TAG(PT_STRING8, 0x1042)
#define TAG_INTERNET_REFERENCES_A PROP_TAG(PT_STRING8, 0x1039)

/* A value of the message the stand-in received last through SubmitMessage
   (StandinSubmitted), copied so that several can be compared at once; NULL
   when it has none. */
static const char* submitted(const char* what, int index, ULONG tag) {
  static char copies[8][16384];
  static int next;
  const char* v = g_submitted(what, index, tag);
  char* copy;
  if (!v) return NULL;
  copy = copies[next++ % 8];
  lstrcpynA(copy, v, sizeof copies[0]);
  return copy;
}

static void hexText(const BYTE* data, size_t size, char* out, size_t room) {
  size_t i;
  out[0] = '\0';
  for (i = 0; i < size && (i + 1) * 2 < room; ++i) snprintf(out + 2 * i, 3, "%02X", data[i]);
}

static size_t bytesOfHex(const char* hex, BYTE* out, size_t room) {
  size_t n = 0;
  unsigned value;
  while (hex && hex[0] && hex[1] && n < room && sscanf(hex, "%2X", &value) == 1) {
    out[n++] = (BYTE)value;
    hex += 2;
  }
  return n;
}

static ULONG littleEndian32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((ULONG)p[3] << 24); }

/* Writes a file of the temporary folder; its path goes to path. */
static int writeTempFile(const char* name, const BYTE* data, DWORD size, char* path, size_t room) {
  HANDLE h;
  DWORD written = 0;
  snprintf(path, room, "%s\\%s", g_tempDir, name);
  h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  WriteFile(h, data, size, &written, NULL);
  CloseHandle(h);
  return written == size;
}

static ULONGLONG fileTimeNow(void) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

/* Recipient i of the submitted message. */
static void checkRecipient(int i, LONG type, const char* name, const char* address, int resolved) {
  const char* gotName = submitted("recipient", i, PR_DISPLAY_NAME_A);
  const char* gotAddress = submitted("recipient", i, PR_EMAIL_ADDRESS_A);
  char typeText[16];
  snprintf(typeText, sizeof typeText, "%ld", (long)type);
  check(sameText(submitted("recipient", i, PR_RECIPIENT_TYPE), typeText) && sameText(gotName, name) &&
            sameText(gotAddress, address) && sameText(submitted("recipient", i, PR_ADDRTYPE_A), "SMTP") &&
            (submitted("recipient", i, PR_ENTRYID) != NULL) == resolved,
        "recipient %d is %s \"%s\" <%s> by SMTP%s (got \"%s\" <%s>)", i + 1,
        type == MAPI_TO ? "To" : type == MAPI_CC ? "Cc" : "Bcc", name, address,
        resolved ? ", with the address book's entry" : "", show(gotName), show(gotAddress));
}

/* Attachment i of the submitted message: saved by value with its names,
   MIME type, content id (inline only) and the file's bytes. */
static void checkAttachment(int i, const char* name, const char* mimeType, const char* contentId, const BYTE* data,
                            DWORD size) {
  char* expected = (char*)malloc((size_t)size * 2 + 1);
  const char* cid = submitted("attachment", i, TAG_ATTACH_CONTENT_ID_A);
  hexText(data, size, expected, (size_t)size * 2 + 1);
  check(sameText(submitted("attachment", i, PR_ATTACH_METHOD), "1") &&
            sameText(submitted("attachment", i, PR_DISPLAY_NAME_A), name) &&
            sameText(submitted("attachment", i, PR_ATTACH_LONG_FILENAME_A), name) &&
            (mimeType ? sameText(submitted("attachment", i, PR_ATTACH_MIME_TAG_A), mimeType)
                      : submitted("attachment", i, PR_ATTACH_MIME_TAG_A) == NULL) &&
            (contentId ? sameText(cid, contentId) : cid == NULL),
        "attachment %d is %s by value, of type %s%s%s", i + 1, name, mimeType ? mimeType : "(none)",
        contentId ? ", content id " : "",
        contentId ? contentId : "");
  check(sameText(submitted("attachment", i, PR_ATTACH_DATA_BIN), expected),
        "attachment %d holds the %lu bytes of its file", i + 1, (unsigned long)size);
  free(expected);
}

/* One message sent through a transport with a sent folder: its copy goes
   to the folder whose entry identifier is sentEntry, or, when the path
   names no folder (sentEntry NULL), the message is deleted after
   submission. */
static void sendThrough(const char* sentFolder, const char* sentEntry) {
  char entryHex[64];
  LONG submits = count("SubmitMessage");
  jlong transport, message;
  Result r = callNative("getTransport", "Standin", "pw", g_tempDir, sentFolder);
  raisedNothing("getTransport with a sent folder", &r);
  transport = r.value.j;
  message = callNative("createMessage", transport).value.j;
  callNative("setMessageSubject", message, sentFolder);
  callNative("addMessageToRecipient", message, "Alice Example", "alice@example.com");
  r = callNative("sendMessage", message);
  raisedNothing("sendMessage", &r);
  check(count("SubmitMessage") == submits + 1 && sameText(submitted("message", 0, PR_SUBJECT_A), sentFolder),
        "the message with the sent folder \"%s\" was submitted", sentFolder);
  if (sentEntry) {
    hexText((const BYTE*)sentEntry, strlen(sentEntry), entryHex, sizeof entryHex);
    check(sameText(submitted("message", 0, PR_SENTMAIL_ENTRYID), entryHex) &&
              submitted("message", 0, PR_DELETE_AFTER_SUBMIT) == NULL,
          "its PR_SENTMAIL_ENTRYID names the folder %s, found by its path; no PR_DELETE_AFTER_SUBMIT", sentFolder);
  } else {
    check(submitted("message", 0, PR_SENTMAIL_ENTRYID) == NULL &&
              sameText(submitted("message", 0, PR_DELETE_AFTER_SUBMIT), "1"),
          "\"%s\" names no folder: no PR_SENTMAIL_ENTRYID, PR_DELETE_AFTER_SUBMIT instead", sentFolder);
  }
  callNative("destroyMessage", message);
  callNative("closeTransport", transport);
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
}

/* Composing and sending a message through a transport, every composition
   native in turn, and what the stand-in received; then the handles of a
   transport and its messages used after they went or as the wrong kind. */
static void scenarioCompose(void) {
  /* The subject in the ANSI code page (Windows-1252 here), as Java's
     default charset gives it. */
  static const char* const subject = "Gr\xFC\xDF" "e from the compose run";
  static const char* const text = "Hello,\r\nthe figures are attached.\r\n";
  static const char* const html = "<p>Hello,<br>the figures are attached.</p><img src=\"cid:logo@tolvane\">";
  BYTE figures[3000], logo[100], flat[512] = {0};
  char figuresPath[MAX_PATH * 2], logoPath[MAX_PATH * 2], entryHex[512], listed[512];
  const char* time;
  ULONGLONG before, after, submitTime;
  jlong transport, message, other;
  size_t flatSize;
  ULONG entrySize;
  Result r;
  int i;

  /* Larger than the library's copy buffer, with every byte value. */
  for (i = 0; i < (int)sizeof figures; ++i) figures[i] = (BYTE)(i * 7 + i / 256);
  for (i = 0; i < (int)sizeof logo; ++i) logo[i] = (BYTE)(255 - i);
  openProvider("compose", 0);
  setEnv("TOLVANE_MAPI_LOGS=");
  loadLibrary();
  callNative("initMapi");
  check(writeTempFile("figures.bin", figures, sizeof figures, figuresPath, sizeof figuresPath) &&
            writeTempFile("logo.png", logo, sizeof logo, logoPath, sizeof logoPath),
        "the files to attach were written");

  r = callNative("getTransport", "Standin", "pw", g_tempDir, (const char*)NULL);
  raisedNothing("getTransport without a sent folder", &r);
  transport = r.value.j;
  check(transport != 0, "getTransport returns a handle");
  before = fileTimeNow();
  r = callNative("createMessage", transport);
  after = fileTimeNow();
  raisedNothing("createMessage", &r);
  message = r.value.j;
  check(message != 0 && count("CreateMessage") == 1,
        "createMessage returns the handle of a message made in the Outbox");

  r = callNative("setMessageSubject", message, subject);
  raisedNothing("setMessageSubject", &r);
  r = callNative("addMessageToRecipient", message, "Alice Example", "alice@example.com");
  raisedNothing("addMessageToRecipient", &r);
  r = callNative("addMessageToRecipient", message, (const char*)NULL, "bob@example.com");
  raisedNothing("addMessageToRecipient without a name", &r);
  r = callNative("addMessageCCRecipient", message, (const char*)NULL, "Dana Directory");
  raisedNothing("addMessageCCRecipient of a name to resolve", &r);
  r = callNative("addMessageBCCRecipient", message, "Eve Hidden", "eve@example.net");
  raisedNothing("addMessageBCCRecipient", &r);
  r = callNative("addMessageBCCRecipient", message, "", "Nobody Known");
  raisedNothing("addMessageBCCRecipient of a name the address book does not know", &r);
  r = callNative("addMessageFrom", message, "Frank Sender", "frank@example.com");
  raisedNothing("addMessageFrom", &r);
  r = callNative("setMessageReplyTo", message, "Replies", "replies@example.com");
  raisedNothing("setMessageReplyTo", &r);
  r = callNative("setMessagePriority", message, -1);
  raisedNothing("setMessagePriority", &r);
  r = callNative("setMessageXHeader", message, "X-Tolvane-Run", "compose 1\r\nBcc: mallory@example.net");
  raisedNothing("setMessageXHeader", &r);
  r = callNative("setMessageXHeader", message, "Bcc", "mallory@example.net");
  raisedNothing("setMessageXHeader of a field the message makes", &r);
  r = callNative("setMessageXHeader", message, "X-Two\r\nBcc", "mallory@example.net");
  raisedNothing("setMessageXHeader of a name that is no field name", &r);
  r = callNative("setMessageXHeader", message, "In-Reply-To", "<q1@tolvane.test>");
  raisedNothing("setMessageXHeader In-Reply-To", &r);
  r = callNative("setMessageXHeader", message, "References", "<q0@tolvane.test> <q1@tolvane.test>");
  raisedNothing("setMessageXHeader References", &r);
  r = callNative("setMessagePlainTextBody", message, text);
  raisedNothing("setMessagePlainTextBody", &r);
  r = callNative("setMessageHTMLBody", message, html);
  raisedNothing("setMessageHTMLBody", &r);
  r = callNative("addMessageAttachment", message, "figures.bin", "application/octet-stream\r\nBcc: mallory@example.net",
                 figuresPath);
  raisedNothing("addMessageAttachment", &r);
  r = callNative("addMessageInlineAttachment", message, "logo.png", "Image/PNG; name=logo.png", logoPath,
                 "logo@tolvane");
  raisedNothing("addMessageInlineAttachment", &r);
  check(count("SubmitMessage") == 0, "nothing was submitted before sendMessage");
  r = callNative("sendMessage", message);
  raisedNothing("sendMessage", &r);
  check(count("SubmitMessage") == 1 && count("savedBeforeSubmit") == 1,
        "sendMessage saved the message and then submitted it (%ld saves, %ld submissions)",
        count("savedBeforeSubmit"), count("SubmitMessage"));

  /* The message as submitted. */
  check(sameText(submitted("message", 0, PR_MESSAGE_CLASS_A), "IPM.Note"), "it is of class IPM.Note");
  time = submitted("message", 0, PR_CLIENT_SUBMIT_TIME);
  submitTime = time ? _strtoui64(time, NULL, 10) : 0;
  check(submitTime + 20000000 >= before && submitTime <= after + 20000000,
        "its PR_CLIENT_SUBMIT_TIME is the time createMessage ran");
  check(sameText(submitted("message", 0, PR_DELETE_AFTER_SUBMIT), "1") &&
            submitted("message", 0, PR_SENTMAIL_ENTRYID) == NULL,
        "without a sent folder it is deleted after submission (PR_DELETE_AFTER_SUBMIT, no PR_SENTMAIL_ENTRYID)");
  check(sameText(submitted("message", 0, PR_SUBJECT_A), subject), "its subject has the bytes Java gave");
  check(sameText(submitted("message", 0, PR_BODY_A), text), "its PR_BODY is the plain text");
  check(sameText(submitted("message", 0, TAG_BODY_HTML_A), html), "its PR_BODY_HTML is the HTML");
  check(sameText(submitted("message", 0, PR_PRIORITY), "-1"), "its PR_PRIORITY is -1, as given");
  check(sameText(submitted("message", 0, PR_SENDER_NAME_A), "Frank Sender") &&
            sameText(submitted("message", 0, PR_SENDER_EMAIL_ADDRESS_A), "frank@example.com") &&
            sameText(submitted("message", 0, PR_SENDER_ADDRTYPE_A), "SMTP"),
        "its sender is \"Frank Sender\" <frank@example.com> by SMTP");
  check(sameText(submitted("header X-Tolvane-Run", 0, 0), "compose 1 Bcc: mallory@example.net"),
        "X-Tolvane-Run is the named property of PS_INTERNET_HEADERS by that name, on one line");
  check(submitted("header Bcc", 0, 0) == NULL && submitted("header X-Two\r\nBcc", 0, 0) == NULL,
        "no header named Bcc, nor by a name with a line break, reached MAPI");
  check(sameText(submitted("message", 0, TAG_IN_REPLY_TO_ID_A), "<q1@tolvane.test>") &&
            sameText(submitted("message", 0, TAG_INTERNET_REFERENCES_A), "<q0@tolvane.test> <q1@tolvane.test>"),
        "In-Reply-To and References are PR_IN_REPLY_TO_ID and PR_INTERNET_REFERENCES");

  /* Reply-To: a FLATENTRYLIST of the one-off entry the address book made. */
  check(count("CreateOneOff") == 1 && sameText(g_text("oneoff"), "Replies|SMTP|replies@example.com"),
        "setMessageReplyTo had the address book make a one-off entry for \"Replies\" <replies@example.com> (%s)",
        g_text("oneoff"));
  lstrcpynA(entryHex, g_text("oneoffEntry"), sizeof entryHex);
  entrySize = (ULONG)strlen(entryHex) / 2;
  flatSize = bytesOfHex(submitted("message", 0, PR_REPLY_RECIPIENT_ENTRIES), flat, sizeof flat);
  hexText(flat + 12, flatSize > 12 ? flatSize - 12 : 0, listed, sizeof listed);
  check(flatSize == 12 + entrySize && littleEndian32(flat) == 1 && littleEndian32(flat + 4) == 4 + entrySize &&
            littleEndian32(flat + 8) == entrySize && sameText(listed, entryHex),
        "PR_REPLY_RECIPIENT_ENTRIES lists that one entry: count 1, %lu bytes of entries, the entry's size and bytes "
        "(%lu bytes in all)",
        (unsigned long)(4 + entrySize), (unsigned long)flatSize);
  check(sameText(submitted("message", 0, PR_REPLY_RECIPIENT_NAMES_A), "Replies"),
        "PR_REPLY_RECIPIENT_NAMES is \"Replies\"");

  check(count("recipients") == 5, "it has 5 recipients (%ld)", count("recipients"));
  checkRecipient(0, MAPI_TO, "Alice Example", "alice@example.com", 0);
  checkRecipient(1, MAPI_TO, "bob@example.com", "bob@example.com", 0);
  checkRecipient(2, MAPI_CC, "Dana Directory", "dana.directory@example.org", 1);
  checkRecipient(3, MAPI_BCC, "Eve Hidden", "eve@example.net", 0);
  checkRecipient(4, MAPI_BCC, "Nobody Known", "Nobody Known", 0);
  check(count("ResolveName") == 2, "the two addresses without \"@\" were looked up in the address book (%ld)",
        count("ResolveName"));
  check(count("attachments") == 2, "it has 2 saved attachments (%ld)", count("attachments"));
  checkAttachment(0, "figures.bin", NULL, NULL, figures, sizeof figures);
  checkAttachment(1, "logo.png", "image/png", "logo@tolvane", logo, sizeof logo);

  /* A destroyed message, and handles of the wrong kind. */
  r = callNative("destroyMessage", message);
  raisedNothing("destroyMessage of the sent message", &r);
  r = callNative("setMessageSubject", message, "again");
  raised("setMessageSubject of the destroyed message", &r, "The message was destroyed");
  r = callNative("destroyMessage", transport);
  raised("destroyMessage of a transport's handle", &r, "Invalid class pointer.");
  r = callNative("createMessage", transport);
  raisedNothing("createMessage after that", &r);
  other = r.value.j;
  check(other != 0 && count("CreateMessage") == 2, "the transport is still usable: it made a second message");
  r = callNative("createMessage", other);
  raised("createMessage with a message's handle", &r, "Invalid class pointer.");
  check(r.value.j == 0 && count("CreateMessage") == 2, "that createMessage returns 0 and makes nothing");

  /* The transport closed before its message. */
  r = callNative("closeTransport", transport);
  raisedNothing("closeTransport while a message of it lives", &r);
  check(count("Logoff") == 1, "closeTransport logged its session off");
  check(count("live") == 0, "every interface of the stand-in was released, the open message's too (%ld left)",
        count("live"));
  r = callNative("closeTransport", transport);
  raisedNothing("a second closeTransport", &r);
  r = callNative("createMessage", transport);
  raised("createMessage of the closed transport", &r, "The transport is closed");
  r = callNative("setMessageSubject", other, "x");
  raised("setMessageSubject of a message of the closed transport", &r, "The transport of this message is closed");
  r = callNative("sendMessage", other);
  raised("sendMessage of a message of the closed transport", &r, "The transport of this message is closed");
  check(count("SubmitMessage") == 1 && count("CreateMessage") == 2, "none of that reached the stand-in");
  r = callNative("destroyMessage", other);
  raisedNothing("destroyMessage of the message of the closed transport", &r);
  r = callNative("destroyMessage", other);
  raisedNothing("a second destroyMessage of it", &r);

  /* Sent folders named by their path. */
  sendThrough("Sent Items", "STANDIN-SENT-ITEMS");
  sendThrough("No Such Folder", NULL);

  check(jvm_globals_live() == 0, "every global reference was deleted (%d left)", jvm_globals_live());
  freeLibrary();
  check(count("MAPIUninitialize") == 1, "FreeLibrary ends MAPI exactly once");
}

/* A larger Inbox: the loops of the fetching natives keep their local
   references balanced. */
static void scenarioLargeInbox(void) {
  const int messages = 40;
  jobject folderObject;
  jlong store, folder;
  Result r;
  int i, numbered = 0;

  openProvider("inbox", messages);
  setEnv("TOLVANE_MAPI_LOGS=");
  loadLibrary();
  callNative("initMapi");
  store = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir).value.j;
  folder = callNative("getInbox", store).value.j;
  callNative("openFolder", folder, 0);
  folderObject = jvm_new_plain("javax/mail/Folder");

  r = callNative("getFolderMessages", folder, folderObject);
  for (i = 0; r.obj && i < r.obj->length; ++i)
    if (element(r.obj, i) && element(r.obj, i)->number == i + 1 && element(r.obj, i)->pointerSet) ++numbered;
  check(r.obj && r.obj->length == messages && numbered == messages && !r.thrown,
        "getFolderMessages returns all %d messages, each numbered and given its handle", messages);
  check(jvm_local_peak() <= 16, "getFolderMessages of %d messages never held more than 16 local references (%d)",
        messages, jvm_local_peak());
  check(jvm_locals_left() <= 2, "getFolderMessages left %d local references undeleted", jvm_locals_left());

  r = callNative("getFolderMessageChunk", folder, folderObject, 5, messages);
  check(r.obj && r.obj->length == messages && element(r.obj, 3) == NULL && element(r.obj, 4) &&
            element(r.obj, 4)->number == 5,
        "getFolderMessageChunk 5..%d fills positions 4..%d", messages, messages - 1);
  check(jvm_local_peak() <= 16, "getFolderMessageChunk never held more than 16 local references (%d)",
        jvm_local_peak());

  r = callNative("getMessageTo", element(r.obj, 10)->handle);
  check(r.obj && r.obj->length == 1, "getMessageTo of message 11 reads its recipient");

  callNative("closeFolder", folder, 0);
  callNative("closeStore", store);
  check(count("DeleteMessages") == 0, "closeFolder without expunge deletes nothing");
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
  freeLibrary();
}

/* Failures of the JVM itself: each native reports its own message, and no
   JNI call is made while the VM's exception is pending. */
static void scenarioJvmFailures(void) {
  jobject folderObject;
  jlong store, folder, message;
  LONG logon, live;
  Result r;

  openProvider("inbox", 3);
  setEnv("TOLVANE_MAPI_LOGS=");
  loadLibrary();
  callNative("initMapi");

  logon = count("MAPILogonEx");
  jvm_fail_get_bytes(1);
  r = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir);
  jvm_clear_faults();
  raised("getStore when String.getBytes throws", &r, "Unable to load profile for JNI Native call");
  check(r.value.j == 0 && count("MAPILogonEx") == logon, "getStore then returns 0 and does not log on");

  store = callNative("getStore", "Standin", "pw", "Mailbox", g_tempDir).value.j;
  folder = callNative("getInbox", store).value.j;
  callNative("openFolder", folder, 0);
  folderObject = jvm_new_plain("javax/mail/Folder");
  callNative("getFolderMessageCount", folder); /* the Inbox's contents table, held by the folder */
  live = count("live");

  jvm_fail_find_class("com/plimo/mail/mapi/MAPIMessage");
  r = callNative("getFolderMessages", folder, folderObject);
  jvm_clear_faults();
  raised("getFolderMessages when MAPIMessage cannot be found", &r, "Unable to find MAPIMessage class");
  check(r.obj == NULL, "getFolderMessages then returns null");

  jvm_fail_new_object("com/plimo/mail/mapi/MAPIMessage", 2);
  r = callNative("getFolderMessages", folder, folderObject);
  jvm_clear_faults();
  raised("getFolderMessages when the second MAPIMessage cannot be made", &r, "Unable to create MAPIMessage object");
  check(count("live") == live, "the messages that call had opened were released again (%ld objects, %ld before)",
        count("live"), live);

  r = callNative("getFolderMessage", folder, folderObject, 1);
  message = r.obj ? r.obj->handle : 0;
  check(message != 0, "getFolderMessage 1 works after those failures");
  jvm_fail_find_class("java/lang/String");
  r = callNative("getMessageSubject", message);
  jvm_clear_faults();
  raised("getMessageSubject when String cannot be found", &r, "Unable to create subject result");
  jvm_fail_find_class("java/lang/String");
  r = callNative("getMessageTo", message);
  jvm_clear_faults();
  raised("getMessageTo when String cannot be found", &r, "Unable to find String class");

  callNative("closeFolder", folder, 0);
  callNative("closeStore", store);
  check(count("live") == 0, "every interface of the stand-in was released (%ld left)", count("live"));
  freeLibrary();
}

int main(int argc, char** argv) {
  const char* scenario;
  if (argc != 5) {
    fprintf(stderr, "usage: wine_jni_test.exe SCENARIO TEMP_DIR LIBRARY PROVIDER\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
  scenario = argv[1];
  lstrcpynA(g_tempDir, argv[2], sizeof g_tempDir);
  g_libraryPath = argv[3];
  g_providerPath = argv[4];
  g_quietStack = 1;
  printf("== %s\n", scenario);

  if (strcmp(scenario, "exports") == 0) scenarioExports();
  else if (strcmp(scenario, "lifecycle") == 0) scenarioLifecycle();
  else if (strcmp(scenario, "init-fails") == 0) scenarioInitFails();
  else if (strcmp(scenario, "logon-fails") == 0) scenarioLogonFails();
  else if (strcmp(scenario, "no-stores") == 0)
    scenarioStoreLookup("no-stores", "No default message store found in the profile: 0x80004005");
  else if (strcmp(scenario, "store-fails") == 0)
    scenarioStoreLookup("store-fails", "The stand-in profile's default store is not available");
  else if (strcmp(scenario, "inbox") == 0) scenarioInbox();
  else if (strcmp(scenario, "compose") == 0) scenarioCompose();
  else if (strcmp(scenario, "large-inbox") == 0) scenarioLargeInbox();
  else if (strcmp(scenario, "jvm-failures") == 0) scenarioJvmFailures();
  else {
    fprintf(stderr, "unknown scenario %s\n", scenario);
    return 2;
  }
  check(jvm_violations() == 0, "%s: no JNI call was made while an exception was pending, no reference misused",
        scenario);
  printf("%s: %d passed, %d failed\n", scenario, g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
