#!/usr/bin/env bash
# Writes the LuCI app's translation template, packaging/openwrt/luci-app-pelmar/po/templates/
# pelmar.pot, from the texts its views give to _() and N_(). With --check it writes nothing and
# fails when the checked-in template is not what the views make now (status 77: no xgettext).
set -euo pipefail
cd "$(dirname "$0")/.."
app=packaging/openwrt/luci-app-pelmar
pot=$app/po/templates/pelmar.pot
command -v xgettext >/dev/null || { echo "xgettext is missing (Debian package gettext)" >&2; exit 77; }

# LuCI's N_(count, singular, plural[, context]) and _(text[, context]). No dates and no line
# numbers in the template, so that it changes only when a text does.
make_pot() {
    printf 'msgid ""\nmsgstr "Content-Type: text/plain; charset=UTF-8"\n\n'
    (cd "$app" && xgettext --language=JavaScript --from-code=UTF-8 --keyword --keyword=_:1 --keyword=_:1,2c \
        --keyword=N_:2,3 --keyword=N_:2,3,4c --omit-header --add-location=file --sort-by-file \
        --output=- htdocs/luci-static/resources/view/pelmar/*.js)
}

if [ "${1:-}" = --check ]; then
    if ! make_pot | diff -u "$pot" - >&2; then
        echo "$pot is not current: run scripts/make-pot.sh" >&2
        exit 1
    fi
    exit 0
fi
mkdir -p "$(dirname "$pot")"
make_pot >"$pot.new"
mv "$pot.new" "$pot"
