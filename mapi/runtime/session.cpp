// MAPI start-up, logon and the session object.
#include "addrbook/addrbook.h"
#include "runtime/memtable.h"
#include "runtime/object.h"
#include "runtime/prop.h"
#include "runtime/testctl_internal.h"
#include "spool/background.h"
#include "store/entryid.h"
#include "store/msgstore.h"

#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapix.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace tmapi {

namespace {

std::mutex g_initMutex;
int g_initCount = 0;

const char* const kComponent = "tolvane-mapi session";

std::string hex32(ULONG v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

class Session : public IMAPISession, public ObjectBase, public ErrorHolder {
 public:
  // A session of this process has its profile's spooler run in the
  // background once it submits a message (spool/background.h).
  explicit Session(mapiprofile::Profile profile) : m_profile(std::move(profile)) {
    m_spooler = spoolSessionStarted(m_profile);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPISession) {
      AddRef();
      *ppv = static_cast<IMAPISession*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    TM_CALL("IMAPISession::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }

  STDMETHODIMP GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    TM_CALL_OBJ(this, "IMAPISession::GetMsgStoresTable", "flags=" + hex32(ulFlags));
    if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "GetMsgStoresTable: no output");
    if (m_loggedOff) return setError(MAPI_E_END_OF_SESSION, "The session has been logged off");
    std::string display = m_profile.displayName.empty() ? m_profile.name : m_profile.displayName;
    PropRow row = {
        Prop::Binary(PR_ENTRYID, makeStoreEntryId(m_profile.storeUid)),
        Prop::Bool(PR_DEFAULT_STORE, m_profile.defaultStore),
        Prop::String(PR_DISPLAY_NAME_A, "Mailbox - " + display),
        Prop::Binary(PR_RECORD_KEY, std::string(reinterpret_cast<const char*>(m_profile.storeUid.ab), 16)),
        Prop::Binary(PR_INSTANCE_KEY, std::string(reinterpret_cast<const char*>(m_profile.storeUid.ab), 16)),
        Prop::Binary(PR_MDB_PROVIDER, std::string(reinterpret_cast<const char*>(kStoreProviderUid.ab), 16)),
        Prop::Long(PR_RESOURCE_FLAGS, m_profile.defaultStore ? STATUS_DEFAULT_STORE : 0),
        Prop::Long(PR_OBJECT_TYPE, MAPI_STORE),
    };
    std::vector<PropRow> rows;
    rows.push_back(std::move(row));
    HRESULT hr = createMemTable(std::move(rows), nullptr, lppTable);
    if (FAILED(hr)) return setError(hr, "GetMsgStoresTable: the table could not be made");
    return S_OK;
  }

  STDMETHODIMP OpenMsgStore(ULONG_PTR, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            LPMDB* lppMDB) override {
    TM_CALL_OBJ(this, "IMAPISession::OpenMsgStore", "cb=" + std::to_string(cbEntryID) + " flags=" + hex32(ulFlags));
    if (!lppMDB) return setError(MAPI_E_INVALID_PARAMETER, "OpenMsgStore: no output");
    *lppMDB = nullptr;
    if (m_loggedOff) return setError(MAPI_E_END_OF_SESSION, "The session has been logged off");
    if (lpInterface && *lpInterface != IID_IMsgStore && *lpInterface != IID_IUnknown &&
        *lpInterface != IID_IMAPIProp)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenMsgStore: the interface is not supported");
    MAPIUID uid;
    if (!parseStoreEntryId(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), uid))
      return setError(MAPI_E_INVALID_ENTRYID, "OpenMsgStore: the entry identifier is not a message store's");
    if (memcmp(uid.ab, m_profile.storeUid.ab, sizeof uid.ab) != 0)
      return setError(MAPI_E_NOT_FOUND, "OpenMsgStore: the profile '" + m_profile.name + "' has no such store");
    std::string error;
    MsgStore* store = nullptr;
    std::string display = m_profile.displayName.empty() ? m_profile.name : m_profile.displayName;
    HRESULT hr = MsgStore::open(m_profile.storePath, uid, display, m_profile.address, &store, error);
    if (FAILED(hr)) return setError(hr, error);
    *lppMDB = store;
    return S_OK;
  }

  STDMETHODIMP OpenAddressBook(ULONG_PTR, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) override {
    TM_CALL_OBJ(this, "IMAPISession::OpenAddressBook", "flags=" + hex32(ulFlags));
    if (!lppAdrBook) return setError(MAPI_E_INVALID_PARAMETER, "OpenAddressBook: no output");
    *lppAdrBook = nullptr;
    if (m_loggedOff) return setError(MAPI_E_END_OF_SESSION, "The session has been logged off");
    if (lpInterface && *lpInterface != IID_IAddrBook && *lpInterface != IID_IMAPIProp &&
        *lpInterface != IID_IUnknown)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenAddressBook: the interface is not supported");
    // No dialog is ever shown, with or without AB_NO_DIALOG.
    HRESULT hr = createAddrBook(lppAdrBook);
    if (FAILED(hr)) return setError(hr, "OpenAddressBook: the address book could not be opened");
    return S_OK;
  }
  STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override {
    return setError(MAPI_E_NO_SUPPORT, "Profile sections are not offered");
  }
  STDMETHODIMP GetStatusTable(ULONG, LPMAPITABLE*) override {
    return setError(MAPI_E_NO_SUPPORT, "The status table is not offered");
  }
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* lpulObjType, LPUNKNOWN* lppUnk) override {
    if (lpulObjType) *lpulObjType = 0;
    if (lppUnk) *lppUnk = nullptr;
    return setError(MAPI_E_NO_SUPPORT, "Open entries through the message store");
  }
  STDMETHODIMP CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG, ULONG* lpulResult) override {
    if (!lpulResult) return setError(MAPI_E_INVALID_PARAMETER, "CompareEntryIDs: no output");
    *lpulResult = (cb1 == cb2 && id1 && id2 && memcmp(id1, id2, cb1) == 0) ? TRUE : FALSE;
    return S_OK;
  }
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
    return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered");
  }
  STDMETHODIMP Unadvise(ULONG) override { return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered"); }
  STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override {
    return setError(MAPI_E_NO_SUPPORT, "Message options need a dialog");
  }
  STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return setError(MAPI_E_NO_SUPPORT, "There are no default message options");
  }
  STDMETHODIMP EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override {
    return setError(MAPI_E_NO_SUPPORT, "Address types are not enumerated");
  }
  STDMETHODIMP QueryIdentity(ULONG*, LPENTRYID*) override {
    return setError(MAPI_E_NO_SUPPORT, "The identity is not offered yet");
  }
  STDMETHODIMP Logoff(ULONG_PTR, ULONG ulFlags, ULONG) override {
    TM_CALL_OBJ(this, "IMAPISession::Logoff", "flags=" + hex32(ulFlags));
    m_loggedOff = true;
    endSpooler();
    return S_OK;
  }
  STDMETHODIMP SetDefaultStore(ULONG, ULONG, LPENTRYID) override {
    return setError(MAPI_E_NO_SUPPORT, "The default store is set by the profile");
  }
  STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN*) override {
    return setError(MAPI_E_NO_SUPPORT, "Manage services with the tolvane-mapi command");
  }
  STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                        LPSTR) override {
    return setError(MAPI_E_NO_SUPPORT, "Forms are not offered");
  }
  STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG*) override {
    return setError(MAPI_E_NO_SUPPORT, "Forms are not offered");
  }

 private:
  ~Session() override { endSpooler(); }

  // The last session of the profile stops its spooler, after the message
  // in hand.
  void endSpooler() {
    if (!m_spooler) return;
    m_spooler = false;
    spoolSessionEnded(m_profile.storePath);
  }

  mapiprofile::Profile m_profile;
  bool m_loggedOff = false;
  bool m_spooler = false;
};

}  // namespace

bool mapiStarted() {
  std::lock_guard<std::mutex> lock(g_initMutex);
  return g_initCount > 0;
}

}  // namespace tmapi

using namespace tmapi;

extern "C" HRESULT MAPIInitialize(LPVOID lpMapiInit) {
  ULONG flags = lpMapiInit ? static_cast<LPMAPIINIT_0>(lpMapiInit)->ulFlags : 0;
  TM_CALL("MAPIInitialize", "flags=" + hex32(flags));
  if (lpMapiInit && static_cast<LPMAPIINIT_0>(lpMapiInit)->ulVersion > MAPI_INIT_VERSION) return MAPI_E_VERSION;
  std::lock_guard<std::mutex> lock(g_initMutex);
  ++g_initCount;
  return S_OK;
}

extern "C" void MAPIUninitialize(void) {
  if (g_testControlsActive.load(std::memory_order_relaxed)) testCall("MAPIUninitialize", "");
  std::lock_guard<std::mutex> lock(g_initMutex);
  if (g_initCount > 0) --g_initCount;
}

extern "C" HRESULT MAPILogonEx(ULONG_PTR, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                               LPMAPISESSION* lppSession) {
  const char* name = lpszProfileName ? reinterpret_cast<const char*>(lpszProfileName) : nullptr;
  TM_CALL("MAPILogonEx", std::string("profile=") + (name ? name : "(null)") + " password=" +
                             (lpszPassword ? "given" : "(null)") + " flags=" + hex32(ulFlags));
  if (!lppSession) return MAPI_E_INVALID_PARAMETER;
  *lppSession = nullptr;
  if (!mapiStarted()) return MAPI_E_NOT_INITIALIZED;
  if (ulFlags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
  if (!name || !*name) {
    // No profile named and no dialog allowed: nothing to log on to.
    errno = ENOENT;
    return MAPI_E_LOGON_FAILED;
  }
  mapiprofile::Profile profile;
  std::string error;
  HRESULT hr = mapiprofile::load(name, profile, error);
  if (FAILED(hr)) {
    errno = ENOENT;
    return MAPI_E_LOGON_FAILED;
  }
  *lppSession = new Session(std::move(profile));
  return S_OK;
}
