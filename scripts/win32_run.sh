#!/usr/bin/env bash
# Runs a Win32 program under Wine: win32_run.sh PROGRAM [ARGS...]
#
# The build uses it as its cross-compiling emulator, so ctest runs every
# Win32 test program through it; it runs any other Win32 program from any
# folder as well. Where this machine's processor executes 32-bit x86 code,
# it is plain `wine PROGRAM ARGS`. Where it cannot (some hypervisors offer no
# 32-bit mode at all), it boots a small emulated x86-64 machine
# (qemu-system-x86_64, TCG) on Debian's kernel, whose root is this machine's
# root read-only with a tmpfs on top, runs the same command under Wine there
# with the caller's environment and working folder, and hands back its
# output and exit code. The guest shares, read-write at their own paths, the
# caller's working folder, the program's folder, the Wine prefix (WINEPREFIX,
# else ~/.wine) and the project's build folder, so that what the program
# writes there, a new prefix too, is kept. There the program finds
# VELMORA_EMULATED=1 in its environment: a test may do less of what costs
# most under emulation (loading a DLL takes half a second there).
#
#   VELMORA_WIN32_RUNNER=auto|wine|vm   which path (default auto: try to run
#                                       a 32-bit program, take wine if it runs)
#   VELMORA_VM_BOOT_TIMEOUT=S           seconds the guest may take to boot (180)
#   VELMORA_VM_TIMEOUT=S                seconds one guest run may take in all (1500)
#   VELMORA_VM_MEMORY=MiB               guest memory (2048)
#   VELMORA_VM_VERBOSE=1                copy the guest's console to stderr
#
# `win32_run.sh --which` prints the path it would take, and why.
#
# Exit code: the program's (Wine's, when Wine cannot start it), or 125 when
# the runner cannot run it, always with one line on stderr that says why;
# after a failed guest also the guest's last console lines.
#
# The initramfs is cached in build/vm/; each run works in a folder of its own
# below build/vm/jobs/ that is removed afterwards (kept when the guest fails).
set -euo pipefail
trap 'say "stopped: \"$BASH_COMMAND\" failed (line $LINENO)"; exit 125' ERR

say() { echo "win32_run.sh: $*" >&2; }
die() {
  say "$*"
  exit 125
}

[ $# -ge 1 ] || die "usage: win32_run.sh PROGRAM [ARGS...]"
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

# The 32-bit loader of the i386 C library, which wine32 pulls in: if it runs,
# so does Wine's own 32-bit loader.
runs_32bit() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

runner=${VELMORA_WIN32_RUNNER:-auto}
case $runner in
  auto)
    if runs_32bit; then runner=wine; else runner=vm; fi
    ;;
  wine | vm) ;;
  *) die "VELMORA_WIN32_RUNNER is '$runner'; it must be auto, wine or vm" ;;
esac
if [ "$1" = --which ]; then
  if [ -n "${VELMORA_WIN32_RUNNER:-}" ] && [ "$VELMORA_WIN32_RUNNER" != auto ]; then
    echo "$runner (forced by VELMORA_WIN32_RUNNER)"
  elif [ "$runner" = wine ]; then
    echo "wine (this machine runs 32-bit x86 code)"
  else
    echo "vm (this machine cannot run 32-bit x86 code: an emulated x86-64 machine runs Wine)"
  fi
  exit 0
fi

command -v wine >/dev/null || die "wine is not installed (scripts/install_deps.sh installs it)"
# A program named by its path must be there; Wine finds a bare name itself.
if [[ $1 == */* ]] && [ ! -f "$1" ]; then
  die "the program $(printf %q "$1") does not exist (or is not a file)"
fi
if [ "$runner" = wine ]; then
  runs_32bit || die "path wine: this machine cannot run 32-bit x86 programs" \
    "($(/lib/ld-linux.so.2 --version 2>&1 | head -n 1)); use VELMORA_WIN32_RUNNER=vm"
  exec wine "$@"
fi

# ---- the emulated machine ----------------------------------------------------

for tool in qemu-system-x86_64 busybox modprobe setpriv; do
  command -v "$tool" >/dev/null ||
    die "path vm: $tool is missing (scripts/install_deps.sh installs what the vm path needs)"
done
# The newest Debian kernel that has its modules installed.
kernel="" kver=""
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
  version=${image#/boot/vmlinuz-}
  [ -d "/lib/modules/$version" ] && kernel=$image kver=$version
done
[ -n "$kernel" ] || die "path vm: no kernel with modules in /boot (package linux-image-amd64)"
[ -r "$kernel" ] || die "path vm: $kernel is not readable"

build=$project/build
mkdir -p "$build/vm/jobs"

# ---- what the guest shares -------------------------------------------------
#
# Beside its root, the guest shares folders of this machine at their own
# paths, each under virtio-9p: the project read-only; its build folder, the
# caller's working folder, the program's folder and the Wine prefix
# read-write. Paths are physical (no symbolic links): the guest's /tmp and
# /run are its own, so a link there would lead nowhere.
shareable() { # WHAT PATH: refuses a folder the guest cannot share, in one sentence
  local own=""
  case $2 in
    *[[:cntrl:]]*) die "path vm: the $1 $(printf %q "$2") cannot be shared with the guest:" \
      "it holds a control character" ;;
    /) die "path vm: the $1 '/' cannot be shared with the guest: the guest's root is its own" ;;
    /tmp | /run) own=$2 ;;
    /proc | /proc/* | /sys | /sys/* | /dev | /dev/*) own=${2#/} own=/${own%%/*} ;;
  esac
  [ -z "$own" ] || die "path vm: the $1 '$2' cannot be shared with the guest:" \
    "the guest has a $own of its own (a folder below it can be shared)"
}
declare -A share_mode=()
share() { # WHAT MODE PATH; the same folder twice is shared read-write if either wants it so
  shareable "$1" "$3"
  [ "${share_mode[$3]:-}" = rw ] || share_mode[$3]=$2
}

cwd=$(pwd -P)
share "project folder" ro "$project"
share "build folder" rw "$build"
share "working folder" rw "$cwd"
if [[ $1 == */* ]]; then
  program_folder=$(cd "$(dirname "$1")" && pwd -P)
  share "program's folder" rw "$program_folder"
fi

[ -n "${WINEPREFIX:-}${HOME:-}" ] || die "path vm: neither WINEPREFIX nor HOME is set, so there is no Wine prefix"
prefix=${WINEPREFIX:-$HOME/.wine}
[[ $prefix == /* ]] || die "path vm: WINEPREFIX '$prefix' is not an absolute path, which Wine requires"
shareable "Wine prefix" "$prefix"
if [ ! -e "$prefix" ]; then
  # Wine fills an empty prefix as it would make a new one.
  made=$(mkdir -- "$prefix" 2>&1) ||
    die "path vm: the Wine prefix '$prefix' cannot be made (${made#mkdir: })"
fi
[ -d "$prefix" ] || die "path vm: the Wine prefix '$prefix' is not a folder"
prefix=$(cd "$prefix" && pwd -P)
share "Wine prefix" rw "$prefix"

# A folder inside a shared one of the same mode needs no share of its own.
# Sorted, a folder comes before the folders inside it: the guest mounts them
# in this order.
shares=()
while IFS= read -r path; do
  enclosing=""
  for other in "${!share_mode[@]}"; do
    if [[ $path == "$other"/* ]] && ((${#other} > ${#enclosing})); then enclosing=$other; fi
  done
  [ -n "$enclosing" ] && [ "${share_mode[$enclosing]}" = "${share_mode[$path]}" ] && continue
  shares+=("${share_mode[$path]} $path")
done < <(printf '%s\n' "${!share_mode[@]}" | LC_ALL=C sort)

# The modules the guest needs (Debian builds them as modules), in load order.
modules=(virtio_pci 9pnet_virtio 9p overlay)

# The guest's first process: load the modules, build the root (this
# machine's / read-only under a tmpfs overlay, fresh /tmp and /run, the shared
# folders at their own paths), run the job, power off. The job's folder is
# shared as /run/velmora-job. Its console lines starting with
# "velmora-guest:" are read here.
read -r -d '' guest_init <<'INIT' || true
#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() {
  echo "velmora-guest: failed: $*"
  sync
  reboot -f
}
for m in $(cat /modules/order); do insmod "/modules/$m" || fail "insmod $m"; done
# Written pages reach the shared folders within a second, not thirty: a
# guest killed just after Wine saved its registry leaves it whole.
echo 100 >/proc/sys/vm/dirty_expire_centisecs
echo 50 >/proc/sys/vm/dirty_writeback_centisecs
p9='trans=virtio,version=9p2000.L,msize=512000,cache=loose'
mkdir -p /lower /upper /new /job
mount -t 9p -o "$p9,ro" hostroot /lower || fail "mount of / over 9p"
mount -t tmpfs -o mode=0755 tmpfs /upper || fail "tmpfs"
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /new ||
  fail "overlay"
mount -t 9p -o "$p9" job /job || fail "mount of the job's folder"
mount -t proc proc /new/proc
mount -t sysfs sysfs /new/sys
mount -t devtmpfs devtmpfs /new/dev
mkdir -p /new/dev/pts /new/dev/shm
mount -t devpts devpts /new/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /new/dev/shm
mount -t tmpfs -o mode=1777 tmpfs /new/tmp
mount -t tmpfs -o mode=0755 tmpfs /new/run
mkdir -p /new/run/velmora-job && mount -o bind /job /new/run/velmora-job ||
  fail "bind of the job's folder"
# "TAG MODE PATH" a line, a folder before the folders inside it.
while IFS= read -r share; do
  tag=${share%% *} share=${share#* }
  mode=${share%% *} path=${share#* }
  mkdir -p "/new$path" && mount -t 9p -o "$p9,$mode" "$tag" "/new$path" ||
    fail "sharing $path"
done </job/shares
echo "velmora-guest: booted"
chroot /new /bin/bash /run/velmora-job/run.sh
echo "velmora-guest: exit $?"
# What the job wrote reaches this machine's disk before the power goes.
sync
tac /job/shares | while IFS= read -r share; do umount "/new${share#* * }"; done
umount /new/run/velmora-job /job
reboot -f
INIT

# Rebuilt whenever the kernel, the init above or this list of modules change.
stamp=$( (echo "$kver ${modules[*]}"; echo "$guest_init") | sha256sum | cut -c1-16)
initramfs=$build/vm/initramfs-$stamp.cpio
if [ ! -f "$initramfs" ]; then
  tree=$(mktemp -d "$build/vm/initramfs.XXXXXX")
  mkdir -p "$tree/bin" "$tree/modules"
  cp "$(command -v busybox)" "$tree/bin/busybox"
  [[ $(ldd "$tree/bin/busybox" 2>&1) == *"not a dynamic"* ]] ||
    die "path vm: busybox is not statically linked (package busybox-static)"
  printf '%s\n' "$guest_init" >"$tree/init"
  chmod 755 "$tree/init"
  : >"$tree/modules/order"
  for module in "${modules[@]}"; do
    while read -r verb path _; do
      [ "$verb" = insmod ] || continue
      name=$(basename "$path")
      grep -qx "$name" "$tree/modules/order" && continue
      cp "$path" "$tree/modules/$name"
      echo "$name" >>"$tree/modules/order"
    done < <(modprobe -S "$kver" --show-depends "$module")
  done
  (cd "$tree" && find . | LC_ALL=C sort | busybox cpio -o -H newc 2>/dev/null) >"$initramfs.tmp"
  mv "$initramfs.tmp" "$initramfs"
  rm -rf "$tree"
fi

job_dir=$(mktemp -d "$build/vm/jobs/XXXXXXXX")
console=$job_dir/console.log
: >"$console"

# The shares for the guest's init, then the job for the guest's bash: the
# caller's environment (but the display), the mark of the emulated machine,
# the prefix, folder and command. A failure before Wine runs the program
# says so on the console.
virtfs=()
for i in "${!shares[@]}"; do
  mode=${shares[i]%% *} path=${shares[i]#* }
  echo "share$i $mode $path"
  # qemu's option syntax doubles a comma.
  readonly=""
  [ "$mode" = rw ] || readonly=,readonly=on
  virtfs+=(-virtfs "local,path=${path//,/,,},mount_tag=share$i,security_model=none,multidevs=remap$readonly")
done >"$job_dir/shares"
{
  echo "set +e"
  export -p | grep -v -E '^declare -x (DISPLAY|WAYLAND_DISPLAY|SHLVL|OLDPWD|_)='
  echo 'export VELMORA_EMULATED=1'
  printf 'export WINEPREFIX=%q\n' "$prefix"
  echo 'fail() { echo "velmora-guest: failed: $*"; exit 125; }'
  printf 'cd %q || fail %q\n' "$cwd" "cd to the working folder $cwd"
  if [[ $1 == */* ]]; then
    printf '[ -f %q ] || fail %q\n' "$1" \
      "the program $1 is not there in the guest, which has its folder as $program_folder"
  fi
  echo 'command -v wine >/dev/null || fail "wine is not on the guest'"'"'s PATH ($PATH)"'
  printf 'wine'
  printf ' %q' "$@"
  echo ' >/run/velmora-job/stdout 2>/run/velmora-job/stderr </dev/null'
  echo 'rc=$?'
  # The Wine server writes the prefix's registry when it ends.
  echo 'wineserver -w'
  echo 'exit $rc'
} >"$job_dir/run.sh"

qemu_pid=""
cleanup() {
  if [ -n "$qemu_pid" ]; then
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'cleanup; rm -rf "$job_dir"; say "interrupted"; exit 130' INT
trap 'cleanup; rm -rf "$job_dir"; say "terminated"; exit 143' TERM HUP

# -cpu max without SMAP: QEMU 7.2's TCG with SMAP kills Wine at a user-mode
# iret. no_timer_check: on a busy machine the kernel finds the emulated
# timer too slow and panics at boot ("IO-APIC + timer doesn't work").
# setpriv ties qemu's life to this script's, even if it is killed.
setpriv --pdeathsig KILL -- qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max,-smap -smp 2 -m "${VELMORA_VM_MEMORY:-2048}" \
  -nodefaults -no-user-config -display none -no-reboot -nic none \
  -serial "file:$console" -monitor none \
  -kernel "$kernel" -initrd "$initramfs" \
  -append "console=ttyS0 quiet panic=-1 mitigations=off no_timer_check" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=${job_dir//,/,,},mount_tag=job,security_model=none" \
  "${virtfs[@]}" \
  </dev/null >"$job_dir/qemu.log" 2>&1 &
qemu_pid=$!

boot_timeout=${VELMORA_VM_BOOT_TIMEOUT:-180}
run_timeout=${VELMORA_VM_TIMEOUT:-1500}
started=$SECONDS booted="" reason=""
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ -z "$booted" ] && grep -q '^velmora-guest: booted' "$console"; then booted=$SECONDS; fi
  if [ -z "$booted" ] && ((SECONDS - started > boot_timeout)); then
    reason="the guest did not boot within ${boot_timeout}s"
    break
  fi
  if ((SECONDS - started > run_timeout)); then
    reason="the guest run took more than ${run_timeout}s"
    break
  fi
  sleep 0.2
done
cleanup
qemu_pid=""
[ "${VELMORA_VM_VERBOSE:-0}" = 1 ] && tr -d '\r' <"$console" >&2

console_tail() {
  {
    echo "--- guest console (last lines) ---"
    tr -d '\r' <"$console" | tail -n 25
    echo "--- qemu ---"
    tail -n 10 "$job_dir/qemu.log"
  } >&2
}
guest_said() { tr -d '\r' <"$console" | sed -n "s/^velmora-guest: $1\$/\\1/p" | tail -n 1; }
rc=$(guest_said 'exit \([0-9]*\)')
failed=$(guest_said 'failed: \(.*\)')
[ -f "$job_dir/stdout" ] && cat "$job_dir/stdout"
[ -f "$job_dir/stderr" ] && cat "$job_dir/stderr" >&2
if [ -n "$failed" ]; then
  reason="the guest failed: $failed"
elif [ -z "$rc" ] && [ -z "$reason" ]; then
  if [ -z "$booted" ]; then
    reason="qemu ended before the guest booted"
  else
    reason="the guest ended before the command did"
  fi
fi
if [ -n "$reason" ]; then
  console_tail
  die "path vm: $reason; the run is kept in $job_dir"
fi
# Wine says so when it cannot start the program (its loader on stderr,
# start.exe on stdout for a program it cannot find), and ends with a code of
# its own, which goes back as it would without the guest.
if [ "$rc" != 0 ]; then
  not_started=$(cat "$job_dir/stderr" "$job_dir/stdout" 2>/dev/null | tr -d '\r' |
    grep -m 1 -E "^wine: (failed to|could not (exec|load|find|determine)|cannot|.*is not (owned by you|a socket)|.*is a dll|for some mysterious)|^wine client error|^ShellExecuteEx failed" || true)
  if [ -n "$not_started" ]; then
    console_tail
    say "path vm: Wine did not start $1 (it said: $not_started); it ended with $rc"
  fi
fi
rm -rf "$job_dir"
exit "$rc"
