#pragma once
// The ODBC drivers installed on the machine, as the driver manager lists them.
#include <string>
#include <vector>

// One driver the driver manager knows: its description (what a connection string's "Driver" names) and
// the shared library its "Driver" attribute names ("" without one).
struct TKVOdbcDriverInfo {
  std::string Description;
  std::string Library;
};

// The installed drivers, through an environment of their own (the process's default environment may pool
// connections). Raises EODBCError when the driver manager cannot give an environment.
std::vector<TKVOdbcDriverInfo> KVInstalledOdbcDrivers();
