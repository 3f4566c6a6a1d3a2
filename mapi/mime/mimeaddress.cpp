#include "mimeaddress.h"

#include "mapiwriter.h"
#include "mimeheaders.h"
#include "textconv.h"

#include "runtime/text.h"

#include <mapicode.h>
#include <mapitags.h>

namespace mapimime {

namespace {

const ULONG kPrSmtpAddressA = PROP_TAG(PT_STRING8, 0x39FE);
const ULONG kPrEmsAbProxyAddresses = PROP_TAG(PT_MV_STRING8, 0x800F);

bool hasAt(const std::string& s) { return s.find('@') != std::string::npos; }

}  // namespace

std::string propText(const SPropValue& v) {
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_UNICODE:
      return v.Value.lpszW ? tmapi::wideToUtf8(v.Value.lpszW) : std::string();
    case PT_STRING8:
      return v.Value.lpszA ? sanitizeUtf8(v.Value.lpszA) : std::string();
    default:
      return std::string();
  }
}

std::vector<std::string> propTexts(const SPropValue& v) {
  std::vector<std::string> out;
  if (PROP_TYPE(v.ulPropTag) == PT_MV_STRING8) {
    for (ULONG i = 0; i < v.Value.MVszA.cValues; ++i)
      if (v.Value.MVszA.lppszA[i]) out.push_back(sanitizeUtf8(v.Value.MVszA.lppszA[i]));
  } else if (PROP_TYPE(v.ulPropTag) == PT_MV_UNICODE) {
    for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
      if (v.Value.MVszW.lppszW[i]) out.push_back(tmapi::wideToUtf8(v.Value.MVszW.lppszW[i]));
  }
  return out;
}

HRESULT lookUpSmtpAddress(LPADRBOOK book, const std::string& entryId, std::string& address, std::string& name,
                          bool& found, std::string& error) {
  found = false;
  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  HRESULT hr = book->OpenEntry(static_cast<ULONG>(entryId.size()),
                               reinterpret_cast<LPENTRYID>(const_cast<char*>(entryId.data())), nullptr, 0, &type, &unk);
  if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_UNKNOWN_ENTRYID || hr == MAPI_E_INVALID_ENTRYID) return S_OK;
  if (FAILED(hr)) {
    error = mapiErrorText(book, hr, "Cannot open an address-book entry");
    return hr;
  }
  LPMAPIPROP entry = reinterpret_cast<LPMAPIPROP>(unk);
  if (type != MAPI_MAILUSER) {
    entry->Release();
    return S_OK;
  }
  SizedSPropTagArray(5, tags) = {
      5, {kPrSmtpAddressA, kPrEmsAbProxyAddresses, PR_ADDRTYPE_A, PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME_A}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  hr = entry->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
  if (FAILED(hr)) {
    error = mapiErrorText(entry, hr, "Cannot read an address-book entry");
    entry->Release();
    return hr;
  }
  entry->Release();
  // Missing values come back as PT_ERROR, whose text is "".
  auto text = [&](ULONG k) { return k < count ? propText(values[k]) : std::string(); };
  name = text(4);
  std::vector<std::string> candidates = {text(0)};
  std::vector<std::string> proxies = count > 1 ? propTexts(values[1]) : std::vector<std::string>();
  // The primary SMTP proxy ("SMTP:", upper case) before the others.
  for (const auto& p : proxies)
    if (p.rfind("SMTP:", 0) == 0) candidates.push_back(p.substr(5));
  for (const auto& p : proxies)
    if (p.size() > 5 && lowerAscii(p.substr(0, 5)) == "smtp:") candidates.push_back(p.substr(5));
  if (lowerAscii(text(2)) == "smtp") candidates.push_back(text(3));
  MAPIFreeBuffer(values);
  for (const auto& c : candidates) {
    if (validAddress(c)) {
      address = c;
      found = true;
      break;
    }
  }
  return S_OK;
}

HRESULT resolveAddress(const AddressParty& p, LPADRBOOK book, const char* who, ResolvedAddress& r,
                       std::string& error) {
  r = ResolvedAddress();
  r.name = p.name;
  std::string type = lowerAscii(p.addrType);
  bool internetType = type.empty() || type == "smtp";
  const std::string the = std::string("The ") + who;
  if (p.address.empty() && p.smtp.empty() && p.entryId.empty()) {
    r.problem = p.name.empty() ? the + " has no address" : the + " \"" + p.name + "\" has no address";
    return S_OK;
  }
  if (internetType && hasAt(p.address)) {
    if (validAddress(p.address)) {
      r.ok = true;
      r.address = p.address;
    } else {
      r.problem = the + "'s address \"" + p.address + "\" is not a valid Internet address";
    }
    return S_OK;
  }
  if (validAddress(p.smtp)) {
    r.ok = true;
    r.address = p.smtp;
    return S_OK;
  }
  if (book && !p.entryId.empty()) {
    std::string address, name;
    bool found = false;
    HRESULT hr = lookUpSmtpAddress(book, p.entryId, address, name, found, error);
    if (FAILED(hr)) return hr;
    if (found) {
      r.ok = true;
      r.address = address;
      if (r.name.empty()) r.name = name;
      return S_OK;
    }
  }
  if (!internetType && hasAt(p.address)) {
    r.problem = the + "'s address type \"" + p.addrType + "\" cannot be sent as Internet mail";
  } else {
    r.problem = the + "'s address \"" + (p.address.empty() ? p.name : p.address) +
                "\" has no domain and is not in the address book";
  }
  return S_OK;
}

}  // namespace mapimime
