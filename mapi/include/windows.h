/*
 * Windows base types for the Linux MAPI subsystem.
 *
 * The MAPI headers in this folder carry the Windows SDK's names and
 * signatures. This header supplies the handful of Windows base types and
 * macros they build on, with the widths Windows gives them (ULONG and LONG
 * are 32 bits here too, whatever the width of long on the host).
 */
#ifndef _WINDOWS_
#define _WINDOWS_

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#define WINAPI
#define __C89_NAMELESS
#define __C89_NAMELESSUNIONNAME
#define WINAPIV
#define STDMETHODCALLTYPE
#define STDMETHODVCALLTYPE
#define STDAPICALLTYPE
#define STDAPIVCALLTYPE
#define CALLBACK
#define APIENTRY
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif
#define FAR
#define NEAR
#define far
#define near
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t BYTE;
typedef BYTE *PBYTE, *LPBYTE;
typedef uint16_t WORD;
typedef WORD *PWORD, *LPWORD;
typedef uint32_t DWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef int32_t BOOL;
typedef int32_t WINBOOL;
typedef BOOL *PBOOL, *LPBOOL;
typedef unsigned char UCHAR;
typedef unsigned char BOOLEAN;
typedef char CHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef LONG *PLONG, *LPLONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t __int64;
typedef uintptr_t ULONG_PTR, DWORD_PTR, UINT_PTR, SIZE_T;
typedef intptr_t LONG_PTR, INT_PTR;
typedef float FLOAT;
typedef double DOUBLE;
typedef double DATE;
typedef void *PVOID, *LPVOID, *HANDLE, *HINSTANCE, *HMODULE, *HWND;
typedef const void *LPCVOID;
typedef LONG SCODE;
typedef LONG HRESULT;
typedef CHAR *LPSTR, *PSTR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef wchar_t WCHAR;
#define __WCHAR_DEFINED
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR, *BSTR;
typedef const OLECHAR *LPCOLESTR;
typedef char TCHAR;
typedef LPSTR LPTSTR;
typedef LPCSTR LPCTSTR;
typedef WORD LANGID;
typedef DWORD LCID;
typedef LONG_PTR LPARAM;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LRESULT;
typedef int (*FARPROC)(void);

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#define _FILETIME_

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID, *LPGUID;
typedef GUID IID, CLSID, FMTID;
typedef IID *LPIID;
typedef CLSID *LPCLSID;
typedef const IID *LPCIID;
typedef const GUID *LPCGUID;
typedef const CLSID *LPCCLSID;
#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const CLSID &
#define REFFMTID const FMTID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const CLSID *
#define REFFMTID const FMTID *
#endif

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

#define MAX_PATH 260
#define CP_ACP 0
#define CP_UTF8 65001

/* Whether a byte begins a double-byte character in the system code page.
 * The code page is a setting of this subsystem (TOLVANE_MAPI_DBCS_CODEPAGE,
 * mapitest::setDBCSCodePage); with none set, as in a UTF-8 locale, no byte
 * is a lead byte. */
BOOL IsDBCSLeadByte(BYTE TestChar);

#ifdef __cplusplus
}
#endif

#include <winerror.h>
#include <objbase.h>

#endif /* _WINDOWS_ */
