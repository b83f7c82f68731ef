#!/bin/sh
# Makes the locales that the terminal cases name, in FOLDER, each once: a
# locale made already is kept, so that builds sharing the folder make it only
# the first time. One that cannot be made (the sources come with Debian's
# locales package) is left out, and its cases skip.
#
#     make_locales.sh [--big-endian] FOLDER LOCALE...
#
# --big-endian makes them for a big-endian C library, C.UTF-8 included: a
# client built for one reads no locale made for this machine.
set -u
options=
if [ "$1" = --big-endian ]; then
    options=$1
    shift
fi
folder=$1
shift
mkdir -p "$folder" || exit 1
for locale in "$@"; do
    [ -e "$folder/$locale/LC_CTYPE" ] && continue
    # Made beside its place and moved there whole, so that a run cut short
    # leaves no half-made locale behind for the next one to take.
    new=$folder/$locale.new
    rm -rf "$new"
    if [ "$locale" = C.UTF-8 ] && [ -z "$options" ] && [ -e /usr/lib/locale/C.utf8/LC_CTYPE ]; then
        cp -R /usr/lib/locale/C.utf8 "$new"
    else
        # Status 1 is a warning about the sources; the locale is made all the same.
        localedef $options -i "${locale%%.*}" -f "${locale#*.}" "$new" >/dev/null 2>&1
    fi
    if [ -e "$new/LC_CTYPE" ]; then
        mv "$new" "$folder/$locale"
        echo "made $locale"
    else
        rm -rf "$new"
        echo "could not make $locale; its cases skip"
    fi
done
