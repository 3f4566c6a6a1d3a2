// The error text of a failing MAPI object: its MAPIERROR record for the
// failure, released at once; empty when the object has no record.
#ifndef TOLVANE_SUPPORT_MAPIERROR_H
#define TOLVANE_SUPPORT_MAPIERROR_H

#include <mapix.h>

#include <string>

template <class MapiObject>
std::string mapiErrorText(MapiObject* object, HRESULT hr) {
  std::string text;
  LPMAPIERROR lpError = nullptr;
  if (object && object->GetLastError(hr, 0, &lpError) == S_OK && lpError) {
    if (lpError->lpszError) text = reinterpret_cast<const char*>(lpError->lpszError);
    MAPIFreeBuffer(lpError);
  }
  return text;
}

#endif
