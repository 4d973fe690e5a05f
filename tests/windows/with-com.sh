#!/bin/sh
# Run by tarvex-stb as its command: points the Wine prefix's serial port at
# the line that tarvex-stb made (it sets TARVEX_COMn), then becomes the
# command, so that signals sent to it reach Wine.
lines=$(env | sed -n 's/^TARVEX_COM[0-9][0-9]*=//p')
if [ -z "$lines" ] || [ "$(echo "$lines" | wc -l)" -ne 1 ] || [ -z "${TARVEX_WINE_LINE:-}" ]; then
  echo "with-com.sh: needs exactly one TARVEX_COMn, and TARVEX_WINE_LINE" >&2
  exit 2
fi
line=$lines
ln -sfn "$line" "$TARVEX_WINE_LINE" || exit 2
exec "$@"
