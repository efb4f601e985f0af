# Sourced first inside `unshare --net --mount`: brings loopback up and gives
# the namespace a hosts file of its own, so that "localhost" resolves the same
# on every machine (a fresh one may have no /etc/hosts at all, and a bind
# mount needs a file to cover). /etc as a whole is replaced by a private copy
# on a tmpfs; the namespace's mounts go with it and never reach the machine.
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
  echo "private-namespace.sh: not in a mount namespace of its own (run it under unshare --net --mount)" >&2
  exit 1
fi
ip link set lo up
mount --make-rprivate /
private_etc=$(mktemp -d)
mount -t tmpfs private-etc "$private_etc"
cp -a /etc/. "$private_etc"/
printf '127.0.0.1\tlocalhost\n' > "$private_etc/hosts"
mount --bind "$private_etc" /etc
umount "$private_etc"
rmdir "$private_etc"
unset private_etc
