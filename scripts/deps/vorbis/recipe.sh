# libvorbis as Debian 12 ships it (libvorbis, libvorbisfile, libvorbisenc).
DEB_SOURCE=libvorbis
DEB_VERSION=1.3.7-1
DEPENDS=(ogg)

recipe_build() {
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --disable-docs --disable-examples --disable-oggtest
  # Only the libraries: Debian's patch to test/Makefile.am would have make
  # run automake again.
  make -j"$JOBS" -C lib
  make -C lib install
  make -C include install
  make install-pkgconfigDATA
}
