#!/bin/sh
# Prints the archive this machine's apt already fetches the given suite's main
# component from, so that the armhf sysroot comes from the same mirror (or
# proxy) as every other package here.
suite=${1:?usage: apt-mirror.sh SUITE}
apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI)' 2>/dev/null |
  awk -v s="$suite" '$1 == "deb" && $2 == s && $3 == "main" { sub("/$", "", $4); print $4; exit }'
