# libFLAC as Debian 12 ships it, with Ogg FLAC.
DEB_SOURCE=flac
DEB_VERSION=1.4.2+ds-2
DEPENDS=(ogg)

recipe_build() {
  local options=()
  # mingw's stack protector and fortify need libssp at every later link.
  [[ "$HOST" == *mingw32 ]] && options+=(--disable-stack-smash-protection --disable-fortify-source)
  ./configure --prefix="$PREFIX" ${HOST:+--host="$HOST"} --disable-shared --enable-static --with-pic \
    --disable-programs --disable-examples --disable-cpplibs --disable-doxygen-docs "${options[@]}" \
    --with-ogg="$(pkg-config --variable=prefix ogg)"
  # Only the library: Debian's patch to doc/Makefile.am would have make run
  # automake again.
  make -j"$JOBS" -C src/libFLAC
  make -C src/libFLAC install
  make -C include/FLAC install
  # Without it, FLAC's headers on Windows declare every function imported from a DLL.
  if [[ "$HOST" == *mingw32 ]]; then
    sed -i 's|^Cflags: .*|& -DFLAC__NO_DLL|' "$PREFIX/lib/pkgconfig/flac.pc"
  fi
}
