// tolvane-mapi: manages the profiles and message stores of the Linux MAPI
// subsystem.
#include "commands.h"

#include <tolvane/profiles.h>

#include <mapicode.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace {

const char* const kUsage =
    "usage: tolvane-mapi profile create NAME [--address SMTP] [--display-name TEXT] [--store LOCATION [--existing]]\n"
    "                                        (LOCATION: a store file, or a PostgreSQL connection string or URI,\n"
    "                                        postgresql://HOST[,HOST...]/DB?mailbox=NAME, host=... dbname=...,\n"
    "                                        service=NAME; passwords only in ~/.pgpass, PGPASSFILE, a service file)\n"
    "       tolvane-mapi profile set NAME [--transport local|smtp://HOST[:PORT]|smtps://HOST[:PORT]|sendmail[:PATH]]\n"
    "                                     [--address SMTP] [--display-name TEXT] [--store LOCATION]\n"
    "                                     [--starttls required|opportunistic] [--smtp-user USER]\n"
    "                                     [--smtp-password-file FILE] [--no-smtp-auth]\n"
    "                                     [--retry-after TIME] [--queue-lifetime TIME]\n"
    "                                     [--smtp-timeout TIME] [--smtp-reply-timeout TIME]\n"
    "                                     (TIME: 90s, 5m, 2h, 5d)\n"
    "       tolvane-mapi profile list\n"
    "       tolvane-mapi profile delete NAME [--purge]\n"
    "       tolvane-mapi directory add --display-name TEXT [--smtp ADDR] [--dn DN] [--proxy TYPE:ADDR]...\n"
    "       tolvane-mapi directory list\n"
    "       tolvane-mapi directory remove ID|SMTP\n"
    "       tolvane-mapi deliver PROFILE [--folder PATH] [FILE...]\n"
    "       tolvane-mapi list PROFILE [--folder PATH]\n"
    "       tolvane-mapi store copy FROM TO   (store locations, as --store takes them)\n"
    "       tolvane-mapi spool run PROFILE [--flush]\n"
    "       tolvane-mapi spool flush PROFILE\n"
    "       tolvane-mapi spool list PROFILE\n"
    "       tolvane-mapi spool daemon\n"
    "       tolvane-mapi lmtp --listen unix:PATH|inet:HOST:PORT... [--socket-group GROUP]\n"
    "                         [--timeout SECONDS] [--max-size BYTES] [--max-header-size BYTES]\n"
    "                         [--max-connections N]\n"
    "\n"
    "Profiles, stores and the directory live in $TOLVANE_MAPI_HOME (default ~/.tolvane-mapi).\n";

}  // namespace

void toolError(const std::string& message) { std::cerr << "tolvane-mapi: " << message << "\n"; }

HRESULT checkProfile(const std::string& name, std::string& error) {
  mapiprofile::Profile profile;
  HRESULT hr = mapiprofile::load(name, profile, error);
  if (FAILED(hr)) return hr;
  struct stat st;
  if (mapiprofile::storeIsFile(profile) && stat(profile.storePath.c_str(), &st) != 0 && errno == ENOENT) {
    error = "The message store " + profile.storePath + " of the profile '" + name + "' does not exist";
    return MAPI_E_NOT_FOUND;
  }
  return S_OK;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 64;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "profile") return profileCommand(args);
  if (command == "directory") return directoryCommand(args);
  if (command == "deliver") return deliverCommand(args);
  if (command == "list") return listCommand(args);
  if (command == "spool") return spoolCommand(args);
  if (command == "lmtp") return lmtpCommand(args);
  if (command == "store") return storeCommand(args);
  toolError("unknown command '" + command + "'");
  std::cerr << kUsage;
  return 64;
}
