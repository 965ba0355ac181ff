# FFmpeg as Debian 12 ships it, audio only: the decoders the library stage
# uses (Vorbis, Opus, MP3) and those the fallback decoder reads (AAC/M4A,
# ALAC, WMA, AC-3 and the like), with their demuxers and parsers, the file
# protocol and nothing else: no network, devices, filters, programs or docs,
# and no library found on the machine (zlib, iconv and the like).
DEB_SOURCE=ffmpeg
DEB_VERSION=7:5.1.9-0+deb12u1

DECODERS=(aac aac_latm ac3 eac3 alac als ape dca flac mlp truehd mp1 mp1float mp2 mp2float mp3 mp3float
  opus vorbis wavpack tta wmav1 wmav2 wmapro wmalossless amrnb amrwb gsm gsm_ms
  adpcm_ima_wav adpcm_ms adpcm_ima_qt 'pcm_*')
DEMUXERS=(aac ac3 eac3 aiff amr ape asf au caf dts dtshd flac loas matroska mlp mov mp3 ogg truehd tta
  w64 wav wv)
PARSERS=(aac aac_latm ac3 amr dca flac gsm mlp mpegaudio opus vorbis)

recipe_build() {
  local IFS=,
  local options=(--enable-pic --enable-pthreads)
  # Decoding runs on several threads at once: without a thread library
  # FFmpeg's one-time initialisations are not thread-safe.
  if [[ "$HOST" == *mingw32 ]]; then
    options=(--enable-cross-compile --target-os=mingw32 --arch=x86_64 --cross-prefix="$HOST-"
      --enable-w32threads)
  fi
  ./configure --prefix="$PREFIX" --cc="$CC" --cxx="$CXX" --ar="$AR" --ranlib="$RANLIB" \
    --extra-cflags="$CFLAGS" --extra-ldflags="$LDFLAGS" "${options[@]}" \
    --enable-static --disable-shared --disable-debug --disable-programs --disable-doc \
    --disable-autodetect --disable-network --disable-everything \
    --disable-avdevice --disable-avfilter --disable-swscale --disable-postproc \
    --enable-protocol=file --enable-decoder="${DECODERS[*]}" --enable-demuxer="${DEMUXERS[*]}" \
    --enable-parser="${PARSERS[*]}"
  unset IFS
  make -j"$JOBS"
  make install
  rm -rf "$PREFIX/share"
}
