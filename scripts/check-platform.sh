#!/usr/bin/env bash
# Checks the platform seam: every Win32 name the layer provides
# (platform/WIN32_NAMES.txt) has a conformance test in tests/platform/, and
# no file outside platform/ includes an OS header directly.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

# Files that may include an OS header outside platform/, with the reason.
allowed=(
  "tests/platform/queue_fd_test.cpp"  # plays a host's own poll() loop on the queue descriptor
  "tests/platform/thread_test.cpp"  # a pthread key destructor, as libraries register for thread exit
  "tests/platform/profile_test.cpp"  # forks writer processes to prove cross-process locking
  "tests/log/log_stuck_writer_test.cpp"  # a named pipe nobody reads keeps the log writer stuck
  "tests/support/loopback_http.cpp"  # the tests' own HTTP peer: raw sockets on both targets
  "tests/support/private_network.cpp"  # a network namespace of the test's own for address changes
  "tools/vexlo/console_posix.cpp"  # a command-line host's signals, terminal and raw standard input
  "tools/vexlo/console_win32.cpp"  # the same through the console API, binary streams, wide arguments
  "bench/event_loop/event_loop_bench.h"  # pins our threads and the peers' to chosen CPUs (Linux-only comparison)
)

while IFS= read -r name; do
  name=${name%%#*}
  name=$(echo "$name" | tr -d '[:space:]')
  [ -z "$name" ] && continue
  if ! grep -rqw -- "$name" tests/platform; then
    echo "check-platform: $name has no conformance test in tests/platform/"
    status=1
  fi
done < platform/WIN32_NAMES.txt

os_headers='(windows|winsock2|ws2tcpip|mswsock|wininet|iphlpapi|objbase|winbase|winuser|winnt|pthread|unistd|poll|fcntl|dlfcn|netdb|ifaddrs|sched|semaphore|dirent|termios|sys/[a-z_/]+|netinet/[a-z_]+|arpa/[a-z_]+|net/[a-z_]+|linux/[a-z_/]+)\.h'
while IFS= read -r file; do
  case "$file" in platform/*|build/*) continue ;; esac
  for ok in "${allowed[@]}"; do
    [ "$file" = "$ok" ] && continue 2
  done
  if grep -nEi "^[[:space:]]*#[[:space:]]*include[[:space:]]*<${os_headers}>" "$file"; then
    echo "check-platform: $file includes an OS header; use \"vxplatform.h\" (or a helper in platform/)"
    status=1
  fi
done < <(git ls-files --cached --others --exclude-standard -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hpp' '*.inc')

[ "$status" -eq 0 ] && echo "check-platform: OK"
exit "$status"
