// IAddrBook over the directory. Opens directory entries, Exchange
// identifiers built from a distinguished name and one-off identifiers;
// resolves names without any dialog; makes one-off identifiers. Every call
// reads the directory afresh, so entries added by the tool are seen at once.
#include "addrbook/addrbook.h"

#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstring>

namespace tmapi {

namespace {

const char* const kComponent = "tolvane-mapi address book";

std::string hex32(ULONG v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// An Internet address typed as a name: "user@domain", optionally written
// "SMTP:user@domain" or "[SMTP:user@domain]". Gives the bare address.
bool smtpLiteral(const std::string& name, std::string& address) {
  std::string s = name;
  if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
  if (startsWith(lowerAscii(s), "smtp:")) s = s.substr(5);
  size_t at = s.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == s.size()) return false;
  for (unsigned char c : s)
    if (c <= 0x20 || c == 0x7F || strchr("<>()[],;:\"\\", c)) return false;
  address = s;
  return true;
}

// The words of a display name, for prefix matching ("smi" finds "John Smith").
std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == ' ' || c == ',' || c == '.' || c == '(' || c == ')' || c == '"' || c == '\'') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// Directory entries that a name resolves to, by the usual ambiguity rules:
// exact matches (display name, SMTP address, distinguished name, a proxy
// address with or without its type) win; otherwise entries whose display
// name, one of its words or SMTP address begins with the name; otherwise
// entries whose display name or SMTP address contains it. All case-blind.
// A name that is itself an Internet address matches only exactly.
std::vector<const mapidirectory::Entry*> matches(const std::vector<mapidirectory::Entry>& entries,
                                                 const std::string& name, bool addressLiteral) {
  std::string n = lowerAscii(name);
  std::vector<const mapidirectory::Entry*> exact, prefix, contains;
  for (const auto& e : entries) {
    std::string display = lowerAscii(e.displayName);
    std::string smtp = lowerAscii(e.smtpAddress);
    bool isExact = display == n || (!smtp.empty() && smtp == n) ||
                   (!e.distinguishedName.empty() && lowerAscii(e.distinguishedName) == n);
    for (const std::string& p : e.proxies) {
      std::string lp = lowerAscii(p);
      size_t colon = lp.find(':');
      if (lp == n || (colon != std::string::npos && lp.substr(colon + 1) == n)) isExact = true;
    }
    if (isExact) {
      exact.push_back(&e);
      continue;
    }
    if (addressLiteral) continue;
    bool isPrefix = startsWith(display, n) || (!smtp.empty() && startsWith(smtp, n));
    for (const std::string& w : words(display))
      if (startsWith(w, n)) isPrefix = true;
    if (isPrefix) {
      prefix.push_back(&e);
      continue;
    }
    if (display.find(n) != std::string::npos || (!smtp.empty() && smtp.find(n) != std::string::npos))
      contains.push_back(&e);
  }
  if (!exact.empty()) return exact;
  if (!prefix.empty()) return prefix;
  return contains;
}

// Replaces the values of an address-list entry: `fresh` first (strings as
// PT_UNICODE when unicode), then every old value whose property `fresh`
// does not name (PR_RECIPIENT_TYPE among them). The new array is one
// MAPIAllocateBuffer block; the old one is freed only when the new one is
// complete.
HRESULT replaceEntryProps(ADRENTRY& entry, const PropRow& fresh, bool unicode) {
  PropRow values = fresh;
  if (unicode)
    for (Prop& p : values)
      if (PROP_TYPE(p.tag) == PT_STRING8) p.tag = CHANGE_PROP_TYPE(p.tag, PT_UNICODE);
  std::vector<ULONG> kept;
  for (ULONG k = 0; k < entry.cValues; ++k) {
    ULONG tag = entry.rgPropVals[k].ulPropTag;
    if (PROP_TYPE(tag) == PT_ERROR) continue;
    if (!findProp(fresh, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED))) kept.push_back(k);
  }
  size_t n = values.size() + kept.size();
  LPSPropValue block = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(n * sizeof(SPropValue)), reinterpret_cast<LPVOID*>(&block));
  if (FAILED(hr)) return hr;
  memset(block, 0, n * sizeof(SPropValue));
  size_t i = 0;
  for (const Prop& p : values) {
    hr = copyToMAPI(p, block[i++], block);
    if (FAILED(hr)) break;
  }
  for (size_t k = 0; SUCCEEDED(hr) && k < kept.size(); ++k)
    hr = PropCopyMore(&block[i++], &entry.rgPropVals[kept[k]], MAPIAllocateMore, block);
  if (FAILED(hr)) {
    MAPIFreeBuffer(block);
    return hr;
  }
  MAPIFreeBuffer(entry.rgPropVals);
  entry.rgPropVals = block;
  entry.cValues = static_cast<ULONG>(n);
  return S_OK;
}

// What ResolveName hands back for a resolved entry.
PropRow resolvedProps(const PropRow& all) {
  static const ULONG kWanted[] = {PR_ADDRTYPE_A,  PR_DISPLAY_NAME_A,   PR_EMAIL_ADDRESS_A, PR_ENTRYID,
                                  PR_OBJECT_TYPE, PR_DISPLAY_TYPE,     PR_SEARCH_KEY};
  PropRow out;
  for (ULONG tag : kWanted)
    if (const Prop* p = findProp(all, tag)) out.push_back(*p);
  return out;
}

class AddrBook : public IAddrBook, public ObjectBase, public ErrorHolder {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IAddrBook) {
      AddRef();
      *ppv = static_cast<IAddrBook*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  // ---------------------------------------------------------------- IMAPIProp

  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    TM_CALL("IAddrBook::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }
  STDMETHODIMP SaveChanges(ULONG) override {
    TM_CALL_OBJ(this, "IAddrBook::SaveChanges", "");
    return setError(MAPI_E_NO_ACCESS, "The address book's properties cannot be changed");
  }
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override {
    TM_CALL_OBJ(this, "IAddrBook::GetProps", "");
    if (!lpcValues || !lppPropArray) return setError(MAPI_E_INVALID_PARAMETER, "GetProps: no output");
    HRESULT hr = propsFromRow(ownProps(), lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    if (FAILED(hr)) return setError(hr, "GetProps: the values could not be copied");
    return hr;
  }
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    TM_CALL_OBJ(this, "IAddrBook::GetPropList", "");
    if (!lppPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "GetPropList: no output");
    HRESULT hr = propListFromRow(ownProps(), ulFlags, lppPropTagArray);
    if (FAILED(hr)) return setError(hr, "GetPropList: out of memory");
    return S_OK;
  }
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID, ULONG, ULONG, LPUNKNOWN* lppUnk) override {
    TM_CALL_OBJ(this, "IAddrBook::OpenProperty", hex32(ulPropTag));
    if (lppUnk) *lppUnk = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The address book has no property to open as an object");
  }
  STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAddrBook::SetProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_ACCESS, "The address book's properties cannot be changed");
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAddrBook::DeleteProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_ACCESS, "The address book's properties cannot be changed");
  }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAddrBook::CopyTo", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The address book cannot be copied");
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAddrBook::CopyProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The address book's properties cannot be copied");
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    TM_CALL_OBJ(this, "IAddrBook::GetNamesFromIDs", "");
    return setError(MAPI_E_NO_SUPPORT, "The address book has no named properties");
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    TM_CALL_OBJ(this, "IAddrBook::GetIDsFromNames", "");
    return setError(MAPI_E_NO_SUPPORT, "The address book has no named properties");
  }

  // ---------------------------------------------------------------- IAddrBook

  STDMETHODIMP OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                         LPUNKNOWN* lppUnk) override {
    TM_CALL_OBJ(this, "IAddrBook::OpenEntry", "cb=" + std::to_string(cbEntryID) + " flags=" + hex32(ulFlags));
    if (!lpulObjType || !lppUnk) return setError(MAPI_E_INVALID_PARAMETER, "OpenEntry: no output");
    *lpulObjType = 0;
    *lppUnk = nullptr;
    if (cbEntryID && !lpEntryID) return setError(MAPI_E_INVALID_PARAMETER, "OpenEntry: no entry identifier");
    if (cbEntryID == 0) return setError(MAPI_E_NO_SUPPORT, "OpenEntry: the address book has no root container");
    if (lpInterface && *lpInterface != IID_IMailUser && *lpInterface != IID_IMAPIProp &&
        *lpInterface != IID_IUnknown)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenEntry: address-book entries are mail users");
    if ((ulFlags & MAPI_MODIFY) && !(ulFlags & MAPI_BEST_ACCESS))
      return setError(MAPI_E_NO_ACCESS, "OpenEntry: address-book entries are read-only");
    PropRow props;
    HRESULT hr = entryProps(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), props);
    if (FAILED(hr)) return hr;
    LPMAILUSER user = nullptr;
    hr = createMailUser(std::move(props), &user);
    if (FAILED(hr)) return setError(hr, "OpenEntry: the entry could not be made");
    *lpulObjType = MAPI_MAILUSER;
    *lppUnk = user;
    return S_OK;
  }

  STDMETHODIMP CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                               ULONG ulFlags, ULONG* lpulResult) override {
    TM_CALL_OBJ(this, "IAddrBook::CompareEntryIDs", "flags=" + hex32(ulFlags));
    if (!lpulResult) return setError(MAPI_E_INVALID_PARAMETER, "CompareEntryIDs: no output");
    *lpulResult = FALSE;
    if ((cbEntryID1 && !lpEntryID1) || (cbEntryID2 && !lpEntryID2))
      return setError(MAPI_E_INVALID_PARAMETER, "CompareEntryIDs: no entry identifier");
    std::string key1, key2;
    HRESULT hr = identityKey(cbEntryID1, reinterpret_cast<const BYTE*>(lpEntryID1), key1);
    if (FAILED(hr)) return hr;
    hr = identityKey(cbEntryID2, reinterpret_cast<const BYTE*>(lpEntryID2), key2);
    if (FAILED(hr)) return hr;
    *lpulResult = key1 == key2 ? TRUE : FALSE;
    return S_OK;
  }

  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* lpulConnection) override {
    TM_CALL_OBJ(this, "IAddrBook::Advise", "");
    if (lpulConnection) *lpulConnection = 0;
    return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered");
  }
  STDMETHODIMP Unadvise(ULONG) override {
    TM_CALL_OBJ(this, "IAddrBook::Unadvise", "");
    return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered");
  }

  STDMETHODIMP CreateOneOff(LPTSTR lpszName, LPTSTR lpszAdrType, LPTSTR lpszAddress, ULONG ulFlags,
                            ULONG* lpcbEntryID, LPENTRYID* lppEntryID) override {
    TM_CALL_OBJ(this, "IAddrBook::CreateOneOff", "flags=" + hex32(ulFlags));
    if (!lpcbEntryID || !lppEntryID) return setError(MAPI_E_INVALID_PARAMETER, "CreateOneOff: no output");
    *lpcbEntryID = 0;
    *lppEntryID = nullptr;
    if (ulFlags & ~(MAPI_UNICODE | MAPI_SEND_NO_RICH_INFO))
      return setError(MAPI_E_UNKNOWN_FLAGS, "CreateOneOff: unknown flags " + hex32(ulFlags));
    if (!lpszAdrType || !lpszAddress)
      return setError(MAPI_E_INVALID_PARAMETER, "CreateOneOff: an address type and an address are needed");
    OneOff o;
    o.unicode = (ulFlags & MAPI_UNICODE) != 0;
    o.noRichInfo = (ulFlags & MAPI_SEND_NO_RICH_INFO) != 0;
    auto text = [&o](LPTSTR s) {
      if (!s) return std::string();
      return o.unicode ? wideToUtf8(reinterpret_cast<const wchar_t*>(s))
                       : std::string(reinterpret_cast<const char*>(s));
    };
    o.displayName = text(lpszName);
    o.addrType = text(lpszAdrType);
    o.address = text(lpszAddress);
    if (o.addrType.empty() || o.address.empty())
      return setError(MAPI_E_INVALID_PARAMETER, "CreateOneOff: the address type and the address must not be empty");
    if (o.addrType.find(':') != std::string::npos)
      return setError(MAPI_E_INVALID_PARAMETER, "CreateOneOff: an address type has no ':'");
    std::string id = makeOneOffEntryId(o);
    LPVOID buf = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &buf);
    if (FAILED(hr)) return setError(hr, "CreateOneOff: out of memory");
    memcpy(buf, id.data(), id.size());
    *lpcbEntryID = static_cast<ULONG>(id.size());
    *lppEntryID = static_cast<LPENTRYID>(buf);
    return S_OK;
  }

  STDMETHODIMP NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG* lpcbEIDNewEntry,
                        LPENTRYID* lppEIDNewEntry) override {
    TM_CALL_OBJ(this, "IAddrBook::NewEntry", "");
    if (lpcbEIDNewEntry) *lpcbEIDNewEntry = 0;
    if (lppEIDNewEntry) *lppEIDNewEntry = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "New entries need a dialog; add them with tolvane-mapi directory add");
  }

  STDMETHODIMP ResolveName(ULONG_PTR, ULONG ulFlags, LPTSTR, LPADRLIST lpAdrList) override {
    TM_CALL_OBJ(this, "IAddrBook::ResolveName",
                "entries=" + std::to_string(lpAdrList ? lpAdrList->cEntries : 0) + " flags=" + hex32(ulFlags));
    if (!lpAdrList) return setError(MAPI_E_INVALID_PARAMETER, "ResolveName: no address list");
    bool unicode = (ulFlags & MAPI_UNICODE) != 0;
    std::vector<mapidirectory::Entry> entries;
    std::string error;
    HRESULT hr = mapidirectory::list(entries, error);
    if (FAILED(hr)) return setError(hr, "ResolveName: " + error);
    std::vector<std::string> unresolved, ambiguous;
    for (ULONG i = 0; i < lpAdrList->cEntries; ++i) {
      ADRENTRY& entry = lpAdrList->aEntries[i];
      if (entry.cValues && !entry.rgPropVals) return setError(MAPI_E_INVALID_PARAMETER, "ResolveName: an entry has no values");
      if (PpropFindProp(entry.rgPropVals, entry.cValues, PR_ENTRYID)) continue;  // resolved already
      std::string name;
      bool haveName = false;
      for (ULONG k = 0; k < entry.cValues; ++k) {
        const SPropValue& v = entry.rgPropVals[k];
        if (v.ulPropTag == PR_DISPLAY_NAME_A && v.Value.lpszA) {
          name = v.Value.lpszA;
          haveName = true;
        } else if (v.ulPropTag == PR_DISPLAY_NAME_W && v.Value.lpszW) {
          name = wideToUtf8(v.Value.lpszW);
          haveName = true;
        }
        if (haveName) break;
      }
      name = trim(name);
      if (!haveName || name.empty()) {
        unresolved.push_back("(no name)");
        continue;
      }
      std::string literal;
      bool isLiteral = smtpLiteral(name, literal);
      std::vector<const mapidirectory::Entry*> found = matches(entries, isLiteral ? literal : name, isLiteral);
      PropRow props;
      if (found.size() == 1) {
        props = resolvedProps(directoryEntryProps(*found[0]));
      } else if (found.size() > 1) {
        ambiguous.push_back(name);
        continue;
      } else if (isLiteral) {
        OneOff o;
        o.displayName = literal;
        o.addrType = "SMTP";
        o.address = literal;
        props = resolvedProps(oneOffProps(o, makeOneOffEntryId(o)));
      } else {
        unresolved.push_back(name);
        continue;
      }
      hr = replaceEntryProps(entry, props, unicode);
      if (FAILED(hr)) return setError(hr, "ResolveName: out of memory");
    }
    auto join = [](const std::vector<std::string>& names) {
      std::string out;
      for (const auto& n : names) out += (out.empty() ? "'" : ", '") + n + "'";
      return out;
    };
    if (!ambiguous.empty())
      return setError(MAPI_E_AMBIGUOUS_RECIP, "ResolveName: more than one directory entry matches " + join(ambiguous));
    if (!unresolved.empty())
      return setError(MAPI_E_NOT_FOUND, "ResolveName: no directory entry matches " + join(unresolved));
    return S_OK;
  }

  STDMETHODIMP Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) override {
    TM_CALL_OBJ(this, "IAddrBook::Address", "");
    return setError(MAPI_E_NO_SUPPORT, "The address dialog is not offered");
  }
  STDMETHODIMP Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR, ULONG) override {
    TM_CALL_OBJ(this, "IAddrBook::Details", "");
    return setError(MAPI_E_NO_SUPPORT, "The details dialog is not offered");
  }
  STDMETHODIMP RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override {
    TM_CALL_OBJ(this, "IAddrBook::RecipOptions", "");
    return setError(MAPI_E_NO_SUPPORT, "Recipient options need a dialog");
  }
  STDMETHODIMP QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG* lpcValues, LPSPropValue* lppOptions) override {
    TM_CALL_OBJ(this, "IAddrBook::QueryDefaultRecipOpt", "");
    if (lpcValues) *lpcValues = 0;
    if (lppOptions) *lppOptions = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "There are no default recipient options");
  }
  STDMETHODIMP GetPAB(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) override {
    TM_CALL_OBJ(this, "IAddrBook::GetPAB", "");
    return noContainer(lpcbEntryID, lppEntryID);
  }
  STDMETHODIMP SetPAB(ULONG, LPENTRYID) override {
    TM_CALL_OBJ(this, "IAddrBook::SetPAB", "");
    return setError(MAPI_E_NO_SUPPORT, "The address book has no containers");
  }
  STDMETHODIMP GetDefaultDir(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) override {
    TM_CALL_OBJ(this, "IAddrBook::GetDefaultDir", "");
    return noContainer(lpcbEntryID, lppEntryID);
  }
  STDMETHODIMP SetDefaultDir(ULONG, LPENTRYID) override {
    TM_CALL_OBJ(this, "IAddrBook::SetDefaultDir", "");
    return setError(MAPI_E_NO_SUPPORT, "The address book has no containers");
  }
  STDMETHODIMP GetSearchPath(ULONG, LPSRowSet* lppSearchPath) override {
    TM_CALL_OBJ(this, "IAddrBook::GetSearchPath", "");
    if (lppSearchPath) *lppSearchPath = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The address book has no containers");
  }
  STDMETHODIMP SetSearchPath(ULONG, LPSRowSet) override {
    TM_CALL_OBJ(this, "IAddrBook::SetSearchPath", "");
    return setError(MAPI_E_NO_SUPPORT, "The address book has no containers");
  }
  STDMETHODIMP PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override {
    TM_CALL_OBJ(this, "IAddrBook::PrepareRecips", "");
    return setError(MAPI_E_NO_SUPPORT, "Recipients are prepared by ResolveName");
  }

 private:
  ~AddrBook() override = default;

  static PropRow ownProps() { return {Prop::Long(PR_OBJECT_TYPE, MAPI_ADDRBOOK)}; }

  HRESULT noContainer(ULONG* cb, LPENTRYID* id) {
    if (cb) *cb = 0;
    if (id) *id = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The address book has no containers");
  }

  // The properties of the entry that an identifier names; failures are
  // recorded for GetLastError.
  HRESULT entryProps(ULONG cb, const BYTE* data, PropRow& props) {
    std::string error;
    switch (abIdKind(cb, data)) {
      case AbIdKind::Directory: {
        int64_t id = 0;
        if (!parseDirectoryEntryId(cb, data, id))
          return setError(MAPI_E_INVALID_ENTRYID, "OpenEntry: the directory entry identifier is malformed");
        mapidirectory::Entry entry;
        HRESULT hr = mapidirectory::get(id, entry, error);
        if (FAILED(hr)) return setError(hr, "OpenEntry: " + error);
        props = directoryEntryProps(entry);
        return S_OK;
      }
      case AbIdKind::DistinguishedName: {
        std::string dn;
        if (!parseDnEntryId(cb, data, dn))
          return setError(MAPI_E_INVALID_ENTRYID, "OpenEntry: the distinguished-name entry identifier is malformed");
        mapidirectory::Entry entry;
        HRESULT hr = mapidirectory::findByDistinguishedName(dn, entry, error);
        if (FAILED(hr)) return setError(hr, "OpenEntry: " + error);
        props = directoryEntryProps(entry);
        return S_OK;
      }
      case AbIdKind::OneOff: {
        OneOff o;
        if (!parseOneOffEntryId(cb, data, o))
          return setError(MAPI_E_INVALID_ENTRYID, "OpenEntry: the one-off entry identifier is malformed");
        props = oneOffProps(o, std::string(reinterpret_cast<const char*>(data), cb));
        return S_OK;
      }
      case AbIdKind::Unknown:
        break;
    }
    if (cb < 20) return setError(MAPI_E_INVALID_ENTRYID, "OpenEntry: the entry identifier is too short");
    return setError(MAPI_E_UNKNOWN_ENTRYID, "OpenEntry: no address-book provider knows this entry identifier");
  }

  // What makes two identifiers name the same entry: the directory entry, or
  // for one-offs the address type and address (case-blind).
  HRESULT identityKey(ULONG cb, const BYTE* data, std::string& key) {
    std::string error;
    switch (abIdKind(cb, data)) {
      case AbIdKind::Directory: {
        int64_t id = 0;
        if (!parseDirectoryEntryId(cb, data, id)) break;
        key = "entry:" + std::to_string(id);
        return S_OK;
      }
      case AbIdKind::DistinguishedName: {
        std::string dn;
        if (!parseDnEntryId(cb, data, dn)) break;
        mapidirectory::Entry entry;
        HRESULT hr = mapidirectory::findByDistinguishedName(dn, entry, error);
        if (SUCCEEDED(hr)) key = "entry:" + std::to_string(entry.id);
        else if (hr == MAPI_E_NOT_FOUND) key = "dn:" + lowerAscii(dn);
        else return setError(hr, "CompareEntryIDs: " + error);
        return S_OK;
      }
      case AbIdKind::OneOff: {
        OneOff o;
        if (!parseOneOffEntryId(cb, data, o)) break;
        key = "one-off:" + upperAscii(o.addrType) + ":" + lowerAscii(o.address);
        return S_OK;
      }
      case AbIdKind::Unknown:
        return setError(MAPI_E_UNKNOWN_ENTRYID, "CompareEntryIDs: no address-book provider knows the entry identifier");
    }
    return setError(MAPI_E_INVALID_ENTRYID, "CompareEntryIDs: an entry identifier is malformed");
  }
};

}  // namespace

HRESULT createAddrBook(LPADRBOOK* addrBook) {
  *addrBook = new AddrBook;
  return S_OK;
}

}  // namespace tmapi
