# libmp3lame as Debian 12 ships it: libsndfile's MP3 encoder, which it links
# whenever it reads MP3. Debian's patches change configure.in (a lame.pc) and
# Makefile.am, so the build files are made again as Debian does.
DEB_SOURCE=lame
DEB_VERSION=3.100-6

recipe_build() {
  autoreconf -fi >/dev/null
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --disable-frontend --disable-gtktest
  make -j"$JOBS" -C mpglib
  make -j"$JOBS" -C libmp3lame
  make -C libmp3lame install
  make -C include install
}
