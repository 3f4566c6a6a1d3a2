// Folder paths: a backslash-separated list of folder display names resolved
// one level at a time from a store's root folder. Used to find the folder
// that keeps the copies of sent mail.
#ifndef TOLVANE_SESSION_FOLDERPATH_H
#define TOLVANE_SESSION_FOLDERPATH_H

#include <mapix.h>

// The entry identifier of the folder at `path` below the store's root
// folder; separators at either end and runs of them count as one.
HRESULT HrLocateFolderByPath(LPMDB lpMDB, char chSep, const char* lpszPath, ULONG* lpcbEntryID,
                             LPENTRYID* lppEntryID);

// The same below `lpFolder` (which the routine does not release).
HRESULT HrLocateSubfolderPath(LPMAPIFOLDER lpFolder, char chSep, const char* lpszPath, ULONG* lpcbEntryID,
                              LPENTRYID* lppEntryID);

// The first child of lpFolder, in hierarchy-table order, whose display name
// equals lpszName without regard to case; MAPI_E_NOT_FOUND when none does.
HRESULT HrLocateChildFolder(LPMAPIFOLDER lpFolder, const char* lpszName, ULONG* lpcbEntryID,
                            LPENTRYID* lppEntryID);

// Splits a path into its names at any of the separator characters. The
// token array (ended by a null entry) and the copy of the path it points
// into share one MAPIAllocateBuffer buffer; an empty path gives no tokens
// and no buffer. A double-byte character never splits.
HRESULT HrSplitPath(const char* lpszPath, const char* lpszSeps, ULONG* lpcTokens, char*** lpppszTokens);

#endif
