# libogg as Debian 12 ships it: the container of Vorbis, Opus and Ogg FLAC.
DEB_SOURCE=libogg
DEB_VERSION=1.3.5-3

recipe_build() {
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic
  make -j"$JOBS" -C src libogg.la
  make -C src install-libLTLIBRARIES
  make -C include install
  make install-pkgconfigDATA
}
