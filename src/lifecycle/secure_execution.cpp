#include "lifecycle/secure_execution.h"

#include <sys/auxv.h>

#include <cstdlib>

bool IsSecureExecution() { return getauxval(AT_SECURE) != 0; }

void ResetEnvironmentForSecureExecution() {
  if (!IsSecureExecution()) return;
  // Nothing of the caller's environment is kept: a list of what to drop
  // would always miss one. The loader has already removed LD_PRELOAD and
  // its kind from this process, but the shell and the tools it starts
  // still read, among others: PATH (which ip runs), ENV, BASH_ENV, IFS,
  // CDPATH, SHELLOPTS, BASHOPTS, PS4 and BASH_FUNC_* (bash as /bin/sh
  // imports functions, an "ip" function among them), LD_* (the commands
  // are ordinary programs, so their loader honours LD_PRELOAD and
  // LD_LIBRARY_PATH), GCONV_PATH, LOCPATH, NLSPATH, MALLOC_*, TMPDIR,
  // HOSTALIASES, RES_OPTIONS, LOCALDOMAIN, and XTABLES_LIBDIR (iptables
  // loads its extensions from there).
  clearenv();
  setenv("PATH", kSecureExecutionPath, 1);
}
