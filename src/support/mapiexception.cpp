#include "support/mapiexception.h"

#include <utility>

CMapiException::CMapiException(std::string message) : m_strMessage(std::move(message)) {}
CMapiException::~CMapiException() = default;
