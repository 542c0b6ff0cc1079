#!/usr/bin/env bash
# Lets this machine run 32-bit x86 programs. Kernels built without 32-bit
# support answer "Exec format error"; then the programs run through qemu's
# user-mode emulation, registered with binfmt_misc so that they (and every
# program they start) run transparently. Needs root; does nothing when a
# 32-bit program already runs.
set -euo pipefail

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 0; }\n' > "$probe/probe.c"
gcc -m32 "$probe/probe.c" -o "$probe/probe"

if "$probe/probe" 2>/dev/null; then
    echo "enable-i386: 32-bit programs run natively"
    exit 0
fi

if [ ! -x /usr/bin/qemu-i386 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/zn-i386" ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # F: the interpreter is opened now, so it also works in other mount namespaces.
    echo ":zn-i386:M::${magic}:${mask}:/usr/bin/qemu-i386:F" > "$binfmt/register"
fi

if "$probe/probe"; then
    echo "enable-i386: 32-bit programs run through /usr/bin/qemu-i386"
else
    echo "enable-i386: 32-bit programs still do not run" >&2
    exit 1
fi
