// Property tags the library uses that older SDK headers (mingw-w64's among
// them) do not declare.
#ifndef TOLVANE_SUPPORT_PROPTAGS_H
#define TOLVANE_SUPPORT_PROPTAGS_H

#include <mapidefs.h>
#include <mapitags.h>

#ifndef PR_BODY_HTML_A
#define PR_BODY_HTML_A PROP_TAG(PT_STRING8, 0x1013)
#endif
#ifndef PR_INTERNET_MESSAGE_ID_A
#define PR_INTERNET_MESSAGE_ID_A PROP_TAG(PT_STRING8, 0x1035)
#endif
#ifndef PR_ATTACH_CONTENT_ID_A
#define PR_ATTACH_CONTENT_ID_A PROP_TAG(PT_STRING8, 0x3712)
#endif
#ifndef PR_IN_REPLY_TO_ID_A
#define PR_IN_REPLY_TO_ID_A PROP_TAG(PT_STRING8, 0x1042)
#endif
#ifndef PR_INTERNET_REFERENCES_A
#define PR_INTERNET_REFERENCES_A PROP_TAG(PT_STRING8, 0x1039)
#endif
#ifndef PR_ATTACH_CONTENT_LOCATION_A
#define PR_ATTACH_CONTENT_LOCATION_A PROP_TAG(PT_STRING8, 0x3713)
#endif
#ifndef PR_ATTACH_FLAGS
#define PR_ATTACH_FLAGS PROP_TAG(PT_LONG, 0x3714)
#endif
#ifndef PR_TEXT_ATTACHMENT_CHARSET_A
#define PR_TEXT_ATTACHMENT_CHARSET_A PROP_TAG(PT_STRING8, 0x371B)
#endif
#ifndef PR_INTERNET_CPID
#define PR_INTERNET_CPID PROP_TAG(PT_LONG, 0x3FDE)
#endif
#ifndef PR_EMS_AB_PROXY_ADDRESSES
#define PR_EMS_AB_PROXY_ADDRESSES PROP_TAG(PT_MV_STRING8, 0x800F)
#endif

// PS_INTERNET_HEADERS {00020386-0000-0000-C000-000000000046}: named
// properties that carry Internet header fields by name.
extern const GUID kPsInternetHeaders;

#endif
