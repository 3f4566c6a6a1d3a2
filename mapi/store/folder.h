// IMAPIFolder of the message store provider, and the opening of entry
// identifiers shared by the store and its folders.
//
// A folder's changes (its properties, deleted, moved and copied messages,
// read flags, new and deleted folders) reach the store at once, each in one
// transaction; its tables are snapshots made when they are asked for.
#ifndef TOLVANE_MAPI_FOLDER_H
#define TOLVANE_MAPI_FOLDER_H

#include "runtime/object.h"
#include "store/propstate.h"

#include <mapidefs.h>

#include <memory>
#include <string>

namespace tmapi {

class MsgStore;

class FolderObj : public IMAPIFolder, public ObjectBase, public ErrorHolder, public PropReader {
 public:
  // Holds a reference to the store while it lives.
  static FolderObj* make(MsgStore* store, ObjectId id, bool writable);

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

  // IMAPIContainer
  STDMETHODIMP GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                         ULONG* lpulObjType, LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetSearchCriteria(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList,
                                 ULONG ulSearchFlags) override;
  STDMETHODIMP GetSearchCriteria(ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList,
                                 ULONG* lpulSearchState) override;

  // IMAPIFolder
  STDMETHODIMP CreateMessage(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) override;
  STDMETHODIMP CopyMessages(LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG ulUIParam,
                            LPMAPIPROGRESS lpProgress, ULONG ulFlags) override;
  STDMETHODIMP DeleteMessages(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                              ULONG ulFlags) override;
  STDMETHODIMP CreateFolder(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment,
                            LPCIID lpInterface, ULONG ulFlags, LPMAPIFOLDER* lppFolder) override;
  STDMETHODIMP CopyFolder(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder,
                          LPTSTR lpszNewFolderName, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                          ULONG ulFlags) override;
  STDMETHODIMP DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                            ULONG ulFlags) override;
  STDMETHODIMP SetReadFlags(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                            ULONG ulFlags) override;
  STDMETHODIMP GetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags,
                                ULONG* lpulMessageStatus) override;
  STDMETHODIMP SetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus, ULONG ulNewStatusMask,
                                ULONG* lpulOldStatus) override;
  STDMETHODIMP SaveContentsSort(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) override;
  STDMETHODIMP EmptyFolder(ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) override;

  // PropReader
  PropRow computedProps() override;
  HRESULT readOwn(ULONG tag, ULONG sizeLimit, Prop& out) override;
  HRESULT ownTags(std::vector<ULONG>& tags) override;

 private:
  FolderObj(MsgStore* store, ObjectId id, bool writable);
  ~FolderObj() override;
  // A message of this folder named by an entry identifier; MAPI_E_INVALID_ENTRYID
  // for a malformed or foreign one, MAPI_E_NOT_FOUND when it is not here.
  HRESULT messageIn(ULONG cb, const BYTE* eid, ObjectId& id, std::string& text);
  // The message ids an ENTRYLIST names; every entry is checked first.
  HRESULT listedMessages(LPENTRYLIST list, std::vector<ObjectId>& ids, bool& partial, std::string& text);

  MsgStore* m_store;
  std::shared_ptr<StoreDb> m_db;
  ObjectId m_id;
  bool m_writable;
};

// IMsgStore::OpenEntry and IMAPIFolder::OpenEntry: a folder or a message
// of the store by its entry identifier (cb 0 or no identifier: the root
// folder). text receives the failure.
HRESULT openStoreEntry(MsgStore* store, ULONG cb, LPENTRYID eid, LPCIID iface, ULONG flags, ULONG* objType,
                       LPUNKNOWN* unk, std::string& text);

// The contents table of a folder: its messages now, in creation order
// (none when empty), with their values read on first use (contents.cpp).
HRESULT createContentsTable(MsgStore* store, ObjectId folder, bool empty, IMAPITable** table, std::string& text);

}  // namespace tmapi

#endif
