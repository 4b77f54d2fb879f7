# Writes the session bus's service file for the installed duvrin-xpc. Run at
# install time with SERVICE_TEMPLATE, SERVICE_FILE and DUVRIN_XPC_PATH set.
# The bus splits Exec= like a shell, so a path with spaces or other special
# characters is single-quoted.
if(DUVRIN_XPC_PATH MATCHES "^[A-Za-z0-9/._+-]+$")
  set(TAVIK_DUVRIN_XPC_PATH "${DUVRIN_XPC_PATH}")
else()
  string(REPLACE "'" "'\\''" quoted "${DUVRIN_XPC_PATH}")
  set(TAVIK_DUVRIN_XPC_PATH "'${quoted}'")
endif()
configure_file("${SERVICE_TEMPLATE}" "${SERVICE_FILE}" @ONLY)
