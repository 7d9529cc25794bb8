#!/bin/sh
# Run by the packages feed's checks on the installed package: $1 is the package's name, $2 its
# version. Says what it checks. There is no "timeout" applet in OpenWrt's busybox: the daemon
# runs in the background and is ended by its own pid.
[ "$1" = pelmar ] || exit 0

fail() {
	echo "FAIL: $*"
	exit 1
}

for option in --version -V; do
	echo "check: 'pelmar $option' prints 'pelmar ${2%%-*}' and succeeds"
	out=$(pelmar "$option" 2>&1) || fail "pelmar $option ended with status $?"
	case "$out" in
	"pelmar ${2%%-*}"*) ;;
	*) fail "pelmar $option printed: $out" ;;
	esac
done

echo "check: with an empty configuration pelmar says that uploads are off and keeps running"
dir=$(mktemp -d) || fail "no temporary directory"
printf '[pelmar]\n' > "$dir/pelmar.conf"
PELMAR_CONFIG="$dir/pelmar.conf" pelmar < /dev/null > "$dir/out" 2>&1 &
pid=$!
sleep 2
if ! kill -0 "$pid" 2> /dev/null; then
	cat "$dir/out"
	rm -rf "$dir"
	fail "pelmar ended"
fi
kill "$pid"
wait "$pid" 2> /dev/null
grep -q "uploads are off" "$dir/out" || fail "no line saying that uploads are off"
rm -rf "$dir"
echo "all checks passed"
