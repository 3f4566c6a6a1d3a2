// The diagnostic log: off unless TOLVANE_MAPI_LOGS is set; each entry is
// appended to mapi-ee-<pid>.log in the TEMP directory (or the current one).
#ifndef TOLVANE_SUPPORT_MAPLOG_H
#define TOLVANE_SUPPORT_MAPLOG_H

#if defined(__GNUC__)
#define TOLVANE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TOLVANE_PRINTF(f, a)
#endif

// Appends one entry: "<pid> > <local time>  > " and the formatted text, with
// nothing added after it (callers end their formats with "\n"). Never fails
// and never throws; the file is opened and closed on every call.
void mapiLog(const char* format, ...) TOLVANE_PRINTF(1, 2);

#endif
