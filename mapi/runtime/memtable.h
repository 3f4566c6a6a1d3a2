// A MAPI table over rows held in memory: the store table, hierarchy and
// contents tables (rows read from the store when the table is opened, which
// gives them snapshot semantics), recipient and attachment tables.
#ifndef TOLVANE_MAPI_MEMTABLE_H
#define TOLVANE_MAPI_MEMTABLE_H

#include "runtime/prop.h"

#include <mapidefs.h>

#include <vector>

namespace tmapi {

// Creates a table holding `rows` in the given (default) order. The initial
// column set is `defaultColumns` (null: every property of the first row).
// `name` is the interface name used by the journal and the fault plan
// ("IMAPITable").
//
// Implemented: QueryInterface, AddRef, Release, GetLastError, SetColumns,
// QueryColumns, GetRowCount, SeekRow, QueryPosition, QueryRows, FindRow
// (RES_PROPERTY equality only), Restrict (the same), SortTable (one or more
// columns, ascending or descending), CreateBookmark/FreeBookmark, Abort,
// WaitForCompletion, GetStatus; the others return MAPI_E_NO_SUPPORT. A column
// that a row lacks comes back as a PT_ERROR value (MAPI_E_NOT_FOUND).
HRESULT createMemTable(std::vector<PropRow> rows, const SPropTagArray* defaultColumns, IMAPITable** table);

}  // namespace tmapi

#endif
