# PortAudio 19.6 as Debian 12 ships it, with our fix for a JACK server that
# dies under an open stream (jack-server-death.patch). Host APIs: ALSA, JACK
# and OSS on Linux as Debian builds it; MME, DirectSound and WASAPI on Windows.
DEB_SOURCE=portaudio19
DEB_VERSION=19.6.0-1.2
PATCHES=(jack-server-death.patch wasapi-mingw-headers.patch)

recipe_build() {
  local options=(--with-alsa --with-jack)
  if [[ "$HOST" == *mingw32 ]]; then
    options=(--with-winapi=wmme,wasapi,directx --with-dxdir="/usr/$HOST")
    # WASAPI builds against mingw-w64's own headers, not the older copies it
    # bundles (see wasapi-mingw-headers.patch).
    rm -r src/hostapi/wasapi/mingw-include
  fi
  # The shipped configure script is used as it is: Debian's only configure.in
  # change installs the OSS header, which we do not need.
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    "${options[@]}"
  # Only the library: the tests and examples would link against it for nothing.
  make -j"$JOBS" lib/libportaudio.la
  make install
  # Its portaudio-2.0.pc leaves out -ljack; the link names JACK and ALSA itself.
}
