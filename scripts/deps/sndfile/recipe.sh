# libsndfile as Debian 12 ships it, with FLAC, Ogg Vorbis, Opus and MP3.
# Debian builds it with autotools after autoreconf; its CMake build gives the
# same library without regenerating anything.
DEB_SOURCE=libsndfile
DEB_VERSION=1.2.0-1+deb12u1
DEPENDS=(ogg vorbis flac opus mpg123 lame)

recipe_build() {
  local cflags=$CFLAGS
  # Without it, FLAC's headers on Windows declare every function imported from a DLL.
  [[ "$HOST" == *mingw32 ]] && cflags+=" -DFLAC__NO_DLL"
  CFLAGS=$cflags target_cmake -S . -B build -DCMAKE_BUILD_TYPE= -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_CPACK=OFF \
    -DENABLE_PACKAGE_CONFIG=OFF -DENABLE_EXTERNAL_LIBS=ON -DENABLE_MPEG=ON
  cmake --build build -j"$JOBS"
  cmake --install build
  rm -rf "$PREFIX/share"
  # Its .pc names -lmp3lame bare; LAME lives in a prefix of its own here.
  sed -i "s|-lmp3lame|$(pkg-config --libs lame)|" "$PREFIX/lib/pkgconfig/sndfile.pc"
}
