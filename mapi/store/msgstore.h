// IMsgStore of the message store provider, on one StoreDb connection.
#ifndef TOLVANE_MAPI_MSGSTORE_H
#define TOLVANE_MAPI_MSGSTORE_H

#include "runtime/object.h"
#include "runtime/prop.h"
#include "store/storedb.h"

#include <mapidefs.h>

#include <memory>
#include <string>

namespace tmapi {

class MsgStore : public IMsgStore, public ObjectBase, public ErrorHolder {
 public:
  // Opens the store file of a profile; `uid` must match the file's identity.
  static HRESULT open(const std::string& path, const MAPIUID& uid, const std::string& ownerName,
                      const std::string& ownerAddress, MsgStore** store, std::string& error);

  const std::shared_ptr<StoreDb>& db() const { return m_db; }
  std::string entryIdOf(ULONG kind, ObjectId id) const;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  TM_REFCOUNT_METHODS

  // IMAPIProp
  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  STDMETHODIMP SaveChanges(ULONG ulFlags) override;
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override;
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                            LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                      LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                      LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                         LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                         LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                               ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) override;
  STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) override;

  // IMsgStore
  STDMETHODIMP Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                      ULONG* lpulConnection) override;
  STDMETHODIMP Unadvise(ULONG ulConnection) override;
  STDMETHODIMP CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                               ULONG ulFlags, ULONG* lpulResult) override;
  STDMETHODIMP OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                         ULONG* lpulObjType, LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID,
                                LPENTRYID lpEntryID) override;
  STDMETHODIMP GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID,
                                LPENTRYID* lppEntryID, LPTSTR* lppszExplicitClass) override;
  STDMETHODIMP GetReceiveFolderTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP StoreLogoff(ULONG* lpulFlags) override;
  STDMETHODIMP AbortSubmit(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) override;
  STDMETHODIMP GetOutgoingQueue(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP SetLockState(LPMESSAGE lpMessage, ULONG ulLockState) override;
  STDMETHODIMP FinishedMsg(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) override;
  STDMETHODIMP NotifyNewMail(LPNOTIFICATION lpNotification) override;

 private:
  MsgStore() = default;
  ~MsgStore() override = default;
  PropRow storeProps() const;

  std::shared_ptr<StoreDb> m_db;
  std::string m_ownerName;
  std::string m_ownerAddress;
};

}  // namespace tmapi

#endif
