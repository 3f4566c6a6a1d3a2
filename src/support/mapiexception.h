// The one exception type of the native objects. The bridge catches it in
// every native method and turns it into a javax.mail.MessagingException.
#ifndef TOLVANE_SUPPORT_MAPIEXCEPTION_H
#define TOLVANE_SUPPORT_MAPIEXCEPTION_H

#include <string>

class CMapiException {
 public:
  explicit CMapiException(std::string message);
  virtual ~CMapiException();

  std::string m_strMessage;
};

#endif
