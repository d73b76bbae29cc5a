# Run at install time: the systemd unit as it is, its ExecStart pointed at the
# program where this install puts it (the prefix of `cmake --install` or of the package).
file(READ "${ORVANE_UNIT_SOURCE}" unit)
string(REPLACE "/usr/local/bin/orvane" "${CMAKE_INSTALL_PREFIX}/${ORVANE_BINDIR}/orvane" unit "${unit}")
file(WRITE "${ORVANE_UNIT_OUTPUT}" "${unit}")
