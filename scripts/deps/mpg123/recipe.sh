# libmpg123 as Debian 12 ships it: libsndfile's MP3 decoder. The upstream
# signature (.asc) the .dsc lists is not on the mirror: unpacked unchecked,
# apt has checked the rest against the signed index.
DEB_SOURCE=mpg123
DEB_VERSION=1.31.2-1+deb12u1
DPKG_SOURCE_OPTIONS=(--no-check)

recipe_build() {
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --disable-modules --with-audio=dummy
  # Only libmpg123 (not libout123, libsyn123 or the player). On Windows its
  # .pc names -lshlwapi, for its UTF-8 file names.
  make -j"$JOBS" src/libmpg123/libmpg123.la
  make install-libLTLIBRARIES lib_LTLIBRARIES=src/libmpg123/libmpg123.la
  make install-includeHEADERS install-nodist_includeHEADERS nodist_include_HEADERS=src/libmpg123/mpg123.h
  make install-pkgconfigDATA pkgconfig_DATA=libmpg123.pc
}
