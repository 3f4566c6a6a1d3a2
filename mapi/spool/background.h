// The background spoolers of a process: one thread per profile that a
// session of this process is logged on to, started by the first
// SubmitMessage into the profile's store and stopped by the session's
// Logoff (see tolvane/spool.h).
#ifndef TOLVANE_SPOOL_BACKGROUND_H
#define TOLVANE_SPOOL_BACKGROUND_H

#include <tolvane/profiles.h>

#include <string>

namespace tmapi {

// A session logged on to the profile. False when the session does not
// count (it was opened by a spooler, to deliver): it then must not call
// spoolSessionEnded.
bool spoolSessionStarted(const mapiprofile::Profile& profile);
// The session logged off (or was released): the last one of the profile
// stops its spooler after the message in hand and waits for the thread.
void spoolSessionEnded(const std::string& storePath);
// A message was queued in the store at storePath: wakes the profile's
// spooler, starting it when needed (and allowed).
void notifySubmitted(const std::string& storePath);

// Marks the calling thread as a spooler's while it lives: sessions it
// opens (to deliver into other profiles) start no spooler of their own.
class SpoolingScope {
 public:
  SpoolingScope();
  ~SpoolingScope();
  SpoolingScope(const SpoolingScope&) = delete;
  SpoolingScope& operator=(const SpoolingScope&) = delete;

 private:
  bool m_outer;
};

}  // namespace tmapi

#endif
