#include "message/mapiaddress.h"

CMapiAddress::CMapiAddress() = default;
CMapiAddress::~CMapiAddress() = default;

std::string CMapiAddress::format() const { return "\"" + m_strName + "\" <" + m_strAddress + ">"; }
