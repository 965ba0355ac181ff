# libopus as Debian 12 ships it (with its custom modes). Its CMake build is
# broken in 1.3.1; the autotools one works.
DEB_SOURCE=opus
DEB_VERSION=1.3.1-3

recipe_build() {
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --enable-custom-modes --disable-doc --disable-extra-programs
  make -j"$JOBS" libopus.la
  make install-libLTLIBRARIES install-pkgincludeHEADERS install-pkgconfigDATA
  # Its stack protector and fortify checks need mingw's libssp.
  if [[ "$HOST" == *mingw32 ]]; then
    sed -i 's|^Libs.private: .*|& -lssp|' "$PREFIX/lib/pkgconfig/opus.pc"
  fi
}
