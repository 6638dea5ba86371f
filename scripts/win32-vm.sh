#!/usr/bin/env bash
# Runs the 32-bit Windows suite on a machine whose kernel cannot run 32-bit
# code. It boots this machine's own Debian system, with Debian's stock
# kernel (which can), in an emulated x86-64 machine (qemu, no KVM needed),
# and runs `scripts/test.sh windows-i686` there. The build happens here first,
# so the emulated machine only runs the tests. Software emulation is slow:
# expect about 35 minutes. Needs root. The emulated machine has no network
# device at all, and the suite runs offline inside it as everywhere.
#   scripts/win32-vm.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
vm=$top/build/win32-vm

need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
ls /boot/vmlinuz-* >/dev/null 2>&1 || need+=(linux-image-amd64 initramfs-tools)
if [ ${#need[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi
kernel=$(ls /boot/vmlinuz-* | sort -V | tail -1)
initrd=/boot/initrd.img-${kernel#/boot/vmlinuz-}

bash scripts/install-deps.sh
# Emulation runs a test four to five times slower than a real machine.
cmake --preset windows-i686 -DVX_WERROR=ON -DVX_TEST_TIMEOUT_SCALE=3 >/dev/null
cmake --build --preset windows-i686 -j "$(nproc)"

# The root file system: this machine's programs and libraries, linked rather
# than copied where the file system allows, and the tree with its 32-bit build.
echo "win32-vm: staging the root file system"
rm -rf "$vm"
root=$vm/root
mkdir -p "$root"/{proc,sys,dev,tmp,run,mnt,root,var/cache,var/tmp,"$top"/build}
chmod 1777 "$root/tmp" "$root/var/tmp"
link() { cp -al "$1" "$2" 2>/dev/null || cp -a "$1" "$2"; }
link /usr "$root/usr"
rm -rf "$root"/usr/local/cuda* "$root/usr/lib/google-cloud-sdk" "$root/usr/lib/jvm" \
  "$root/usr/share/doc" "$root/usr/share/man"
cp -a /etc "$root/etc"
echo > "$root/etc/fstab"
for d in /var/*; do [ "$d" = /var/cache ] || [ "$d" = /var/tmp ] || link "$d" "$root$d"; done
for l in bin lib lib32 lib64 sbin; do [ -L "/$l" ] && ln -s "$(readlink "/$l")" "$root/$l"; done
python=$(command -v python3)
case "$python" in "$HOME"/*) mkdir -p "$root$HOME" && link "$HOME/.pyenv" "$root$HOME/.pyenv" ;; esac
git ls-files -z | xargs -0 cp -a --parents -t "$root$top"
link build/windows-i686 "$root$top/build/windows-i686"
rm -rf "$root$top/build/windows-i686/wineprefix"

cat > "$root/init-vm.sh" <<EOF
#!/bin/bash
# The emulated machine's first process: runs the suite, reports, powers off.
mount -t proc proc /proc; mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm; mount -t tmpfs tmpfs /tmp
mountpoint -q /run || mount -t tmpfs tmpfs /run
mount -o remount,rw /
ip link set lo up
ulimit -n 65536  # the kernel's default for a first process is far below a login's
export PATH='$PATH' HOME='$HOME' LANG=C.UTF-8 CI=true
${PYENV_ROOT:+export PYENV_ROOT='$PYENV_ROOT'}
exec >/dev/ttyS0 2>&1
echo "win32-vm: \$(uname -m) kernel \$(uname -r); \$(/lib/ld-linux.so.2 --version | head -1)"
cd '$top' && bash scripts/test.sh windows-i686
echo "win32-vm: rc=\$?"
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
chmod 755 "$root/init-vm.sh"

echo "win32-vm: making the disk image"
size=$(( $(du -sm "$root" | cut -f1) + 4096 ))
mkfs.ext4 -q -F -d "$root" "$vm/disk.img" "${size}M"
rm -rf "$root"

# Software emulation on every processor. SMAP and protection keys stay off:
# with them on, the emulator faults Wine's 32-bit return from a signal
# handler and the kernel kills the process.
echo "win32-vm: booting $kernel under emulation (log: $vm/serial.log)"
timeout 5400 qemu-system-x86_64 -accel tcg,thread=multi -cpu max,smap=off,pku=off \
  -smp "$(nproc)" -m 6G -no-reboot -display none -monitor none -net none \
  -kernel "$kernel" -initrd "$initrd" \
  -append "root=/dev/vda rw console=ttyS0 init=/init-vm.sh panic=-1 quiet" \
  -drive "file=$vm/disk.img,format=raw,if=virtio" \
  -serial "file:$vm/serial.log" || true
cmake --preset windows-i686 -DVX_TEST_TIMEOUT_SCALE=1 >/dev/null
rm -f "$vm/disk.img"
tr -d '\r' <"$vm/serial.log" | grep -E "^win32-vm:|tests passed|tests failed|\*\*\*|^=== " || true
grep -q "^win32-vm: rc=0" <(tr -d '\r' <"$vm/serial.log")
