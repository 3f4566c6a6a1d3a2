// IMailUser of the address book: a read-only set of properties, taken from
// a directory entry or a one-off address when the entry is opened.
#include "addrbook/addrbook.h"

#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>

#include <cstdio>

namespace tmapi {

namespace {

const char* const kComponent = "tolvane-mapi address book";

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

ULONG unicodeType(ULONG type) {
  if (type == PT_STRING8) return PT_UNICODE;
  if (type == PT_MV_STRING8) return PT_MV_UNICODE;
  return type;
}

// The stored value under the type asked for, when the two types differ
// only in the width of their strings.
bool answerAs(const Prop& stored, ULONG wantedType, Prop& out) {
  ULONG have = PROP_TYPE(stored.tag);
  if (have != wantedType && unicodeType(have) != wantedType) return false;
  out = stored;
  out.tag = CHANGE_PROP_TYPE(stored.tag, wantedType);
  return true;
}

class MailUser : public IMailUser, public ObjectBase, public ErrorHolder {
 public:
  explicit MailUser(PropRow props) : m_props(std::move(props)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMailUser) {
      AddRef();
      *ppv = static_cast<IMailUser*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    TM_CALL("IMailUser::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }
  STDMETHODIMP SaveChanges(ULONG) override {
    TM_CALL_OBJ(this, "IMailUser::SaveChanges", "");
    return setError(MAPI_E_NO_ACCESS, "Address-book entries are read-only");
  }
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override {
    TM_CALL_OBJ(this, "IMailUser::GetProps",
                lpPropTagArray && lpPropTagArray->cValues ? hexTag(lpPropTagArray->aulPropTag[0]) : "all");
    if (!lpcValues || !lppPropArray) return setError(MAPI_E_INVALID_PARAMETER, "GetProps: no output");
    HRESULT hr = propsFromRow(m_props, lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    if (FAILED(hr)) return setError(hr, "GetProps: the values could not be copied");
    return hr;
  }
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    TM_CALL_OBJ(this, "IMailUser::GetPropList", "");
    if (!lppPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "GetPropList: no output");
    HRESULT hr = propListFromRow(m_props, ulFlags, lppPropTagArray);
    if (FAILED(hr)) return setError(hr, "GetPropList: out of memory");
    return S_OK;
  }
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID, ULONG, ULONG, LPUNKNOWN* lppUnk) override {
    TM_CALL_OBJ(this, "IMailUser::OpenProperty", hexTag(ulPropTag));
    if (lppUnk) *lppUnk = nullptr;
    if (!findProp(m_props, CHANGE_PROP_TYPE(ulPropTag, PT_UNSPECIFIED)))
      return setError(MAPI_E_NOT_FOUND, "OpenProperty: the entry has no property " + hexTag(ulPropTag));
    return setError(MAPI_E_NO_SUPPORT,
                    "OpenProperty: the values of address-book entries are small; read them with GetProps");
  }
  STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMailUser::SetProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_ACCESS, "Address-book entries are read-only");
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMailUser::DeleteProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_ACCESS, "Address-book entries are read-only");
  }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMailUser::CopyTo", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "Address-book entries cannot be copied");
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMailUser::CopyProps", "");
    if (lppProblems) *lppProblems = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "The properties of address-book entries cannot be copied");
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    TM_CALL_OBJ(this, "IMailUser::GetNamesFromIDs", "");
    return setError(MAPI_E_NO_SUPPORT, "Address-book entries have no named properties");
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    TM_CALL_OBJ(this, "IMailUser::GetIDsFromNames", "");
    return setError(MAPI_E_NO_SUPPORT, "Address-book entries have no named properties");
  }

 private:
  ~MailUser() override = default;
  PropRow m_props;
};

std::string searchKey(const std::string& type, const std::string& address) {
  std::string key = upperAscii(type + ":" + address);
  key += '\0';
  return key;
}

}  // namespace

HRESULT propsFromRow(const PropRow& row, const SPropTagArray* tags, ULONG flags, ULONG* count, LPSPropValue* values) {
  *count = 0;
  *values = nullptr;
  bool unicode = (flags & MAPI_UNICODE) != 0;
  PropRow answer;
  if (!tags) {
    for (const Prop& p : row) {
      Prop v;
      answerAs(p, unicode ? unicodeType(PROP_TYPE(p.tag)) : PROP_TYPE(p.tag), v);
      answer.push_back(std::move(v));
    }
  } else {
    for (ULONG k = 0; k < tags->cValues; ++k) {
      ULONG tag = tags->aulPropTag[k];
      const Prop* p = findProp(row, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED));
      ULONG wanted = PROP_TYPE(tag);
      if (p && wanted == PT_UNSPECIFIED) wanted = unicode ? unicodeType(PROP_TYPE(p->tag)) : PROP_TYPE(p->tag);
      Prop v;
      if (p && answerAs(*p, wanted, v)) answer.push_back(std::move(v));
      else answer.push_back(Prop::Error(tag, MAPI_E_NOT_FOUND));
    }
  }
  HRESULT hr = rowToMAPI(answer, nullptr, count, values);
  if (FAILED(hr)) return hr;
  for (const Prop& p : answer)
    if (PROP_TYPE(p.tag) == PT_ERROR) return MAPI_W_ERRORS_RETURNED;
  return S_OK;
}

HRESULT propListFromRow(const PropRow& row, ULONG flags, LPSPropTagArray* tags) {
  *tags = nullptr;
  LPSPropTagArray out = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(row.size()), reinterpret_cast<LPVOID*>(&out));
  if (FAILED(hr)) return hr;
  out->cValues = static_cast<ULONG>(row.size());
  for (size_t i = 0; i < row.size(); ++i) {
    ULONG type = PROP_TYPE(row[i].tag);
    if (flags & MAPI_UNICODE) type = unicodeType(type);
    out->aulPropTag[i] = CHANGE_PROP_TYPE(row[i].tag, type);
  }
  *tags = out;
  return S_OK;
}

HRESULT createMailUser(PropRow props, LPMAILUSER* mailUser) {
  *mailUser = new MailUser(std::move(props));
  return S_OK;
}

PropRow directoryEntryProps(const mapidirectory::Entry& entry) {
  std::string eid = makeDirectoryEntryId(entry.id);
  PropRow row = {
      Prop::Binary(PR_ENTRYID, eid),
      Prop::Binary(PR_RECORD_KEY, eid),
      Prop::Long(PR_OBJECT_TYPE, MAPI_MAILUSER),
      Prop::Long(PR_DISPLAY_TYPE, DT_MAILUSER),
      Prop::String(PR_DISPLAY_NAME_A, entry.displayName),
      Prop::String(PR_TRANSMITABLE_DISPLAY_NAME_A, entry.displayName),
  };
  if (!entry.smtpAddress.empty()) {
    row.push_back(Prop::String(PR_ADDRTYPE_A, "SMTP"));
    row.push_back(Prop::String(PR_EMAIL_ADDRESS_A, entry.smtpAddress));
    row.push_back(Prop::String(kPrSmtpAddressA, entry.smtpAddress));
    row.push_back(Prop::Binary(PR_SEARCH_KEY, searchKey("SMTP", entry.smtpAddress)));
  } else if (!entry.distinguishedName.empty()) {
    row.push_back(Prop::String(PR_ADDRTYPE_A, "EX"));
    row.push_back(Prop::String(PR_EMAIL_ADDRESS_A, entry.distinguishedName));
    row.push_back(Prop::Binary(PR_SEARCH_KEY, searchKey("EX", entry.distinguishedName)));
  }
  std::vector<std::string> proxies = mapidirectory::proxyAddresses(entry);
  if (!proxies.empty()) row.push_back(Prop::MultiString(kPrEmsAbProxyAddresses, std::move(proxies)));
  return row;
}

PropRow oneOffProps(const OneOff& oneOff, const std::string& entryId) {
  PropRow row = {
      Prop::Binary(PR_ENTRYID, entryId),
      Prop::Binary(PR_RECORD_KEY, entryId),
      Prop::Long(PR_OBJECT_TYPE, MAPI_MAILUSER),
      Prop::Long(PR_DISPLAY_TYPE, DT_MAILUSER),
      Prop::String(PR_DISPLAY_NAME_A, oneOff.displayName),
      Prop::String(PR_TRANSMITABLE_DISPLAY_NAME_A, oneOff.displayName),
      Prop::String(PR_ADDRTYPE_A, oneOff.addrType),
      Prop::String(PR_EMAIL_ADDRESS_A, oneOff.address),
      Prop::Binary(PR_SEARCH_KEY, searchKey(oneOff.addrType, oneOff.address)),
      Prop::Bool(PR_SEND_RICH_INFO, !oneOff.noRichInfo),
  };
  // An Internet address answers as its own SMTP proxy, so that reply-to
  // addresses resolve like directory entries.
  if (equalsCaseBlind(oneOff.addrType, "SMTP")) {
    row.push_back(Prop::String(kPrSmtpAddressA, oneOff.address));
    row.push_back(Prop::MultiString(kPrEmsAbProxyAddresses, {"SMTP:" + oneOff.address}));
  }
  return row;
}

}  // namespace tmapi
