#!/bin/sh
# Regenerates the bundled sample clip: 5 s of H.264 (Annex-B, in-band SPS/PPS
# at every key frame, no B-frames) and AAC LC 48 kHz stereo with ADTS headers.
# Both come from ffmpeg's synthetic sources, so the clip carries no third-party
# content. Run from anywhere; the files land beside this script.
set -eu
cd "$(dirname "$0")"

ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=640x360:rate=25:duration=5" \
  -c:v libx264 -preset medium -crf 32 -pix_fmt yuv420p -profile:v high \
  -bf 0 -g 25 -keyint_min 25 -sc_threshold 0 \
  -x264-params "repeat-headers=1:aud=0" \
  -bsf:v h264_mp4toannexb -f h264 sample.h264

ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=5" \
  -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=5" \
  -filter_complex "[0:a][1:a]join=inputs=2:channel_layout=stereo[a]" -map "[a]" \
  -c:a aac -profile:a aac_low -b:a 96k -ar 48000 -ac 2 -f adts sample.aac

ls -l sample.h264 sample.aac
