// Property values owned by C++ code inside the subsystem, and their copies
// into MAPI buffers (the form every MAPI method hands out).
#ifndef TOLVANE_MAPI_PROP_H
#define TOLVANE_MAPI_PROP_H

#include <mapidefs.h>
#include <mapitags.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tmapi {

// One property value of any type the subsystem stores. Which member holds
// the value follows PROP_TYPE(tag):
//   PT_I2, PT_LONG, PT_BOOLEAN, PT_ERROR, PT_I8, PT_SYSTIME (as the 64-bit
//     FILETIME value), PT_CURRENCY: i
//   PT_DOUBLE, PT_APPTIME, PT_R4: d
//   PT_STRING8 (bytes in the process code page, no terminator), PT_BINARY,
//     PT_CLSID (16 bytes), PT_UNICODE (UTF-8): bytes
//   PT_MV_STRING8, PT_MV_BINARY, PT_MV_UNICODE: mv
//   PT_MV_LONG, PT_MV_I8, PT_MV_SYSTIME: mvi
struct Prop {
  ULONG tag = 0;
  int64_t i = 0;
  double d = 0.0;
  std::string bytes;
  std::vector<std::string> mv;
  std::vector<int64_t> mvi;

  static Prop Long(ULONG tag, LONG v);
  static Prop Bool(ULONG tag, bool v);
  static Prop I8(ULONG tag, int64_t v);
  static Prop Time(ULONG tag, const FILETIME& ft);
  static Prop Double(ULONG tag, double v);
  static Prop String(ULONG tag, std::string v);
  static Prop Binary(ULONG tag, std::string v);
  static Prop Binary(ULONG tag, const void* data, size_t size);
  static Prop MultiString(ULONG tag, std::vector<std::string> v);
  // PT_ERROR value standing in for a column that a row lacks.
  static Prop Error(ULONG tag, SCODE sc);

  // Copy of a MAPI value (any type above). False for unsupported types.
  static bool fromMAPI(const SPropValue& value, Prop& out);

  FILETIME fileTime() const;
};

using PropRow = std::vector<Prop>;

// Finds the value with exactly this tag, or (when tag has type PT_UNSPECIFIED)
// with this property id; null when absent.
const Prop* findProp(const PropRow& row, ULONG tag);

// Copies `value` into `dest`, allocating strings, binaries and arrays with
// MAPIAllocateMore on `parent` (so they are freed with the parent).
HRESULT copyToMAPI(const Prop& value, SPropValue& dest, LPVOID parent);

// Copies one row into a new MAPIAllocateBuffer array of SPropValue, one
// value per requested column in column order (a missing column gives a
// PT_ERROR value with MAPI_E_NOT_FOUND). Columns null: every value of the row.
HRESULT rowToMAPI(const PropRow& row, const SPropTagArray* columns, ULONG* count, LPSPropValue* values);

// Copies a MAPI array of values (its buffers are not taken over).
HRESULT rowFromMAPI(ULONG count, const SPropValue* values, PropRow& row);

// Size in bytes of a string or binary value (0 for the other types).
size_t valueSize(const Prop& value);

}  // namespace tmapi

#endif
