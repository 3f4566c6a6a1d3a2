// The address book of the subsystem: IAddrBook over the directory, and the
// read-only IMailUser objects that it opens.
#ifndef TOLVANE_MAPI_ADDRBOOK_H
#define TOLVANE_MAPI_ADDRBOOK_H

#include "addrbook/abids.h"
#include "runtime/prop.h"

#include <tolvane/directory.h>

#include <mapidefs.h>
#include <mapix.h>

namespace tmapi {

// PR_EMS_AB_PROXY_ADDRESSES (Exchange address-book property, 8-bit strings).
const ULONG kPrEmsAbProxyAddresses = PROP_TAG(PT_MV_STRING8, 0x800F);
// PR_SMTP_ADDRESS.
const ULONG kPrSmtpAddressA = PROP_TAG(PT_STRING8, 0x39FE);

// A new address book (reference count 1).
HRESULT createAddrBook(LPADRBOOK* addrBook);

// A new read-only mail user holding `props` (reference count 1).
HRESULT createMailUser(PropRow props, LPMAILUSER* mailUser);

// The properties of a directory entry and of a one-off address.
PropRow directoryEntryProps(const mapidirectory::Entry& entry);
PropRow oneOffProps(const OneOff& oneOff, const std::string& entryId);

// GetProps and GetPropList of an object whose properties are `row`
// (8-bit strings): the string types follow MAPI_UNICODE or the requested
// tag; a missing property gives a PT_ERROR value and MAPI_W_ERRORS_RETURNED.
HRESULT propsFromRow(const PropRow& row, const SPropTagArray* tags, ULONG flags, ULONG* count, LPSPropValue* values);
HRESULT propListFromRow(const PropRow& row, ULONG flags, LPSPropTagArray* tags);

}  // namespace tmapi

#endif
