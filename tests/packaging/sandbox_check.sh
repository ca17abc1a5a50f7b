#!/usr/bin/env bash
# Runs hkagent from an unpacked package tree under the sandbox of its unit
# and checks that an action cannot write to /etc, while one writing into the
# state folder can. With a running systemd the unit's own settings apply
# through systemd-run; elsewhere (a container) unshare and setpriv build the
# same restrictions:
#   ProtectSystem=strict    every mount read-only but the state folder and
#                           the kernel's (/proc, /sys, /dev)
#   PrivateTmp=yes          a /tmp of its own
#   User=, NoNewPrivileges=, CapabilityBoundingSet=
#                           an unprivileged user (nobody, as the package's
#                           own user exists only where it is installed), no
#                           capabilities, no way to gain privileges
#   sandbox_check.sh ROOT
set -euo pipefail
# A folder the unprivileged user can reach, outside /tmp (private to it).
box=$(mktemp -d /var/lib/hkagent-sandbox-test.XXXXXX)
chmod 755 "$box"
# The package tree is copied into it: a checkout under /tmp would vanish
# under the sandbox's private /tmp before the agent starts.
cp -a "$(realpath "$1")" "$box/package"
chmod -R a+rX "$box/package"
root=$box/package
unit=$root/lib/systemd/system/hkagent.service
libdir=$(dirname "$(find "$root/usr/lib" -name 'libhksrv.so.0' | head -n1)")
probe=/etc/hkagent-sandbox-probe.$$
agent_pid=""
transient_unit=""
cleanup() {
   if [ -n "$transient_unit" ]; then systemctl stop "$transient_unit" 2>/dev/null || true; fi
   if [ -n "$agent_pid" ]; then
      # unshare ignores SIGTERM while it waits: stop the agent, its child.
      children=$(cat "/proc/$agent_pid/task/$agent_pid/children" 2>/dev/null || true)
      # shellcheck disable=SC2086 # one pid per word
      [ -z "$children" ] || kill $children 2>/dev/null || true
      wait "$agent_pid" 2>/dev/null || true
   fi
   rm -rf "$box"
   rm -f "$probe"
}
trap cleanup EXIT

state=$box/state
mkdir -p "$state"
chown nobody:nogroup "$state"
# The agent trusts only the key hkquery will offer.
HOME=$box LD_LIBRARY_PATH=$libdir "$root/usr/bin/hkquery" -k "$box/server-key.pem" --show-key \
   > "$box/trusted-server.pem"
chmod 644 "$box/trusted-server.pem"
cat > "$box/hkagent.conf" <<CONF
[agent]
Port = 0
Secret = "sandbox test secret"
TrustedServerKeys = $box/trusted-server.pem
IdentityKey = $state/identity.pem
[actions]
write-etc = /usr/bin/touch $probe
write-state = /usr/bin/touch $state/probe
CONF
chmod 644 "$box/hkagent.conf"
agent=("$root/usr/bin/hkagent" --config "$box/hkagent.conf" --port-file "$state/port")

if [ -d /run/systemd/system ]; then
   echo "sandbox: systemd-run with the unit's settings"
   properties=()
   while IFS= read -r line; do
      properties+=(-p "$line")
   done < <(sed -n '/^\[Service\]/,/^\[/p' "$unit" |
            grep -E '^(Protect|Private|Restrict|NoNewPrivileges|CapabilityBoundingSet|AmbientCapabilities|LockPersonality|MemoryDenyWriteExecute|SystemCall|UMask|DevicePolicy|KeyringMode|RemoveIPC)')
   transient_unit=hkagent-sandbox-test-$$
   systemd-run --unit="$transient_unit" --collect -p User=nobody -p Group=nogroup \
               -p ReadWritePaths="$state" -E LD_LIBRARY_PATH="$libdir" "${properties[@]}" \
               "${agent[@]}"
else
   echo "sandbox: unshare and setpriv"
   unshare --mount --propagation private --fork --kill-child=SIGKILL -- bash -c '
      set -e
      state=$1
      shift
      mount --bind "$state" "$state"
      findmnt -rn -o TARGET | while read -r target; do
         case $target in
            /proc | /proc/* | /sys | /sys/* | /dev | /dev/* | "$state") ;;
            *) mount -o remount,bind,ro "$target" 2>/dev/null || true ;;
         esac
      done
      mount -t tmpfs -o mode=1777 tmpfs /tmp
      # Even root may no longer write here, or the sandbox is not built.
      if touch /etc/hkagent-sandbox-root-probe 2>/dev/null; then
         rm -f /etc/hkagent-sandbox-root-probe
         echo "sandbox: /etc stayed writable" >&2
         exit 1
      fi
      exec setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs \
                   --inh-caps=-all --bounding-set=-all -- "$@"
   ' sandbox "$state" env LD_LIBRARY_PATH="$libdir" "${agent[@]}" 2> "$box/agent.log" &
   agent_pid=$!
fi

# The agent writes the port file once it listens: bounded wait for it.
for _ in $(seq 200); do
   [ -s "$state/port" ] && break
   if [ -n "$agent_pid" ] && ! kill -0 "$agent_pid" 2>/dev/null; then break; fi
   sleep 0.1
done
[ -s "$state/port" ] || { cat "$box/agent.log" 2>/dev/null; echo "FAILED: the agent did not start"; exit 1; }
port=$(cat "$state/port")

query() {
   HOME=$box HKQUERY_SECRET="sandbox test secret" LD_LIBRARY_PATH=$libdir \
      "$root/usr/bin/hkquery" -k "$box/server-key.pem" -q "127.0.0.1:$port" --action "$1"
}
query write-state || { echo "FAILED: an action could not write into the state folder"; exit 1; }
[ -e "$state/probe" ] || { echo "FAILED: the state folder action left no file"; exit 1; }
if query write-etc; then
   echo "FAILED: an action of the sandboxed agent wrote to /etc"
   exit 1
fi
[ ! -e "$probe" ] || { echo "FAILED: $probe exists"; exit 1; }
echo "sandbox: writing to /etc refused, writing to the state folder allowed"
