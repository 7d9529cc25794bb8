#!/bin/sh
# Run by the packages feed's checks on the installed package: the daemon starts with an empty
# configuration, says that uploads are off, and keeps running on silent input.
case "$1" in
pelmar)
	conf=$(mktemp) || exit 1
	printf '[pelmar]\n' > "$conf"
	out=$(PELMAR_CONFIG="$conf" timeout 3 pelmar < /dev/null)
	status=$?
	rm -f "$conf"
	[ "$status" = 124 ] || exit 1
	echo "$out" | grep -q "uploads are off"
	;;
esac
