# PortAudio 19.6 as Debian 12 ships it, with our fix for a JACK server that
# dies under an open stream (jack-server-death.patch). Host APIs as Debian's
# build: ALSA, JACK and OSS on Linux.
DEB_SOURCE=portaudio19
DEB_VERSION=19.6.0-1.2
PATCHES=(jack-server-death.patch)

recipe_build() {
  # The shipped configure script is used as it is: Debian's only configure.in
  # change installs the OSS header, which we do not need.
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --with-alsa --with-jack
  # Only the library: the tests and examples would link against it for nothing.
  make -j"$JOBS" lib/libportaudio.la
  make install
  # Its portaudio-2.0.pc leaves out -ljack; the link names JACK and ALSA itself.
}
