#!/bin/sh
# Run by tarvex-stb as its command: points the Wine prefix's serial port at
# the line that tarvex-stb made (it sets TARVEX_COMn), then becomes the
# command, so that signals sent to it reach Wine.
line=$(env | sed -n 's/^TARVEX_COM[0-9][0-9]*=//p' | head -n 1)
if [ -z "$line" ] || [ -z "${TARVEX_WINE_LINE:-}" ]; then
  echo "with-com.sh: TARVEX_COMn or TARVEX_WINE_LINE is not set" >&2
  exit 2
fi
ln -sfn "$line" "$TARVEX_WINE_LINE" || exit 2
exec "$@"
