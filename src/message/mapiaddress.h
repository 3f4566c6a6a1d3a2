// CMapiAddress: a display name and an address, formed into the display form
// "\"name\" <address>".
#ifndef TOLVANE_MESSAGE_MAPIADDRESS_H
#define TOLVANE_MESSAGE_MAPIADDRESS_H

#include <string>

class CMapiAddress {
 public:
  CMapiAddress();
  virtual ~CMapiAddress();

  // The name is inserted as stored: format escapes nothing.
  std::string format() const;

  std::string m_strName;
  std::string m_strAddress;
};

#endif
