# libsoxr as Debian 12 ships it, without OpenMP: the module would carry
# libgomp for nothing, its resampler threads only large single conversions.
DEB_SOURCE=libsoxr
DEB_VERSION=0.1.3-4

recipe_build() {
  target_cmake -S . -B build -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DLIB_INSTALL_DIR="$PREFIX/lib" -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF
  cmake --build build -j"$JOBS"
  cmake --install build
  rm -rf "$PREFIX/doc" "$PREFIX/share"
  # It installs no .pc on Windows, and its own leaves out libm, which a
  # static link needs.
  mkdir -p "$PREFIX/lib/pkgconfig"
  cat >"$PREFIX/lib/pkgconfig/soxr.pc" <<PC
prefix=$PREFIX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: soxr
Description: High quality, one-dimensional sample-rate conversion library
Version: 0.1.3
Libs: -L\${libdir} -lsoxr
Libs.private: -lm
Cflags: -I\${includedir}
PC
}
