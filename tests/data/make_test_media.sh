#!/usr/bin/env bash
# Regenerates the small elementary streams of tests/data and the reference
# bytes that FFmpeg derives from them (decoder configuration boxes, AAC
# AudioSpecificConfig, per-packet key flags and NAL unit types).
#
# Usage: tests/data/make_test_media.sh   (needs Debian's ffmpeg and python3)
# The outputs are committed; rerunning changes them only if the encoders do.
set -euo pipefail
cd "$(dirname "$0")"

FF="ffmpeg -hide_banner -loglevel error -y"

# H.264: 320x240, 2 s at 25 fps, no B-frames, IDR every 25 frames, parameter
# sets and an access unit delimiter in every access unit.
$FF -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p \
  -c:v libx264 -preset veryfast -bf 0 -g 25 -keyint_min 25 -sc_threshold 0 \
  -x264-params aud=1:repeat-headers=1 -f h264 video_h264.h264

# HEVC: the same picture, closed GOPs so that every key frame is an IDR, VPS,
# SPS and PPS repeated in-band, AUD in every access unit.
$FF -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p \
  -c:v libx265 -preset veryfast -bf 0 -g 25 -keyint_min 25 \
  -x265-params "bframes=0:keyint=25:min-keyint=25:no-open-gop=1:scenecut=0:repeat-headers=1:aud=1:log-level=error" \
  -f hevc video_hevc.h265

# ProRes 4444 XQ, 64x48, 3 frames, in a QuickTime movie.
$FF -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 3 -c:v prores_ks -profile:v 5 \
  -pix_fmt yuva444p10le video_prores.mov

# AAC LC as ADTS: 2 s stereo at 44.1 kHz, 2 s stereo and mono at 48 kHz.
$FF -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -ac 2 -c:a aac -b:a 64k -f adts audio_44100_2.aac
$FF -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 2 -c:a aac -b:a 64k -f adts audio_48000_2.aac
$FF -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 1 -c:a aac -b:a 48k -f adts audio_48000_1.aac
# 96 kHz: a rate the 16-bit sample_rate of the track description cannot hold.
$FF -f lavfi -i sine=frequency=1000:sample_rate=96000:duration=0.5 -ac 2 -c:a aac -b:a 96k -f adts audio_96000_2.aac
# 5.1 at 22.05 kHz: a channel configuration beyond two bits of the header.
$FF -f lavfi -i sine=frequency=440:sample_rate=22050:duration=1.2 -af "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0" \
  -c:a aac -b:a 96k -f adts audio_22050_6.aac

# What FFmpeg writes when it copies the streams into MP4.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
$FF -i video_h264.h264 -c copy "$tmp/h264.mp4"
$FF -i video_hevc.h265 -c copy -tag:v hvc1 "$tmp/hevc.mp4"
for a in audio_44100_2 audio_48000_2 audio_48000_1; do
  $FF -i $a.aac -c copy "$tmp/$a.mp4"
done

# Extract a box (header included) found anywhere below moov.
python3 - "$tmp" <<'EOF'
import struct, sys
tmp = sys.argv[1]
CONTAINERS = {b'moov', b'trak', b'mdia', b'minf', b'stbl'}
def find(data, want, start=0, end=None):
    end = len(data) if end is None else end
    pos = start
    while pos + 8 <= end:
        size, typ = struct.unpack('>I4s', data[pos:pos + 8])
        if size < 8:
            return None
        if typ == want:
            return data[pos:pos + size]
        if typ in CONTAINERS:
            r = find(data, want, pos + 8, pos + size)
            if r is not None:
                return r
        if typ == b'stsd':
            # Full box header and entry count, then one sample entry whose
            # children start after its fixed part.
            entry = pos + 16
            esize, etyp = struct.unpack('>I4s', data[entry:entry + 8])
            fixed = {b'avc1': 86, b'hvc1': 86, b'mp4a': 36}[etyp]
            r = find(data, want, entry + fixed, entry + esize)
            if r is not None:
                return r
        pos += size
    return None
def box(mp4, typ):
    data = open(f'{tmp}/{mp4}', 'rb').read()
    r = find(data, typ)
    assert r is not None, (mp4, typ)
    return r
open('ffmpeg_avcC.bin', 'wb').write(box('h264.mp4', b'avcC'))
open('ffmpeg_hvcC.bin', 'wb').write(box('hevc.mp4', b'hvcC'))
for a in ('audio_44100_2', 'audio_48000_2', 'audio_48000_1'):
    esds = box(f'{a}.mp4', b'esds')
    # The decoder-specific information descriptor (tag 5) holds the ASC.
    i = esds.index(b'\x05', 12 + 5 + 3)
    n = 0
    j = i + 1
    while True:
        b = esds[j]; j += 1
        n = (n << 7) | (b & 0x7F)
        if not b & 0x80:
            break
    open(f'ffmpeg_asc_{a}.bin', 'wb').write(esds[j:j + n])
EOF

# Key flag and size of every packet as FFmpeg's parser cuts the streams.
for v in video_h264.h264 video_hevc.h265; do
  ffprobe -v error -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 "$v" > "$v.packets.txt"
done

# B-frames: FFmpeg's own MP4 written while encoding is the reference (a raw
# stream carries no times). The Annex-B stream is cut back out of it, and the
# times of its packets in decode order (time base first) are what a host
# would hand the muxer. x264 with and without a B-pyramid, x265 (pyramid).
bframes() {  # name codec bsf ext extra-args...
  local name=$1 codec=$2 bsf=$3 ext=$4
  shift 4
  $FF -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -pix_fmt yuv420p -c:v "$codec" -bf 3 "$@" "$name.mp4"
  $FF -i "$name.mp4" -c copy -bsf:v "$bsf" -f "$ext" "$name.$ext"
  { ffprobe -v error -select_streams v:0 -show_entries stream=time_base -of csv=p=0 "$name.mp4"
    ffprobe -v error -select_streams v:0 -show_entries packet=dts,pts,duration -of csv=p=0 "$name.mp4"; } > "$name.times.txt"
  ffprobe -v error -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 "$name.$ext" > "$name.$ext.packets.txt"
}
bframes bf_h264_pyramid libx264 h264_mp4toannexb h264 -preset veryfast -x264-params b-pyramid=normal
bframes bf_h264_flat libx264 h264_mp4toannexb h264 -preset veryfast -x264-params b-pyramid=none
bframes bf_hevc libx265 hevc_mp4toannexb hevc -preset veryfast -tag:v hvc1 -x265-params log-level=error

# A stream that starts at a CRA whose leading (RASL) pictures refer to
# pictures before it: open GOPs of 12 frames, the first 9 packets (up to the
# first CRA) dropped from FFmpeg's MP4, which keeps the rest with their times.
$FF -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -pix_fmt yuv420p -c:v libx265 -bf 3 -preset veryfast -tag:v hvc1 \
  -x265-params log-level=error:keyint=12:min-keyint=12:open-gop=1:scenecut=0 "$tmp/open_gop.mp4"
$FF -i "$tmp/open_gop.mp4" -c copy -bsf:v "noise=drop=lt(n\\,9)" bf_hevc_cra.mp4
$FF -i bf_hevc_cra.mp4 -c copy -bsf:v hevc_mp4toannexb -f hevc bf_hevc_cra.hevc
{ ffprobe -v error -select_streams v:0 -show_entries stream=time_base -of csv=p=0 bf_hevc_cra.mp4
  ffprobe -v error -select_streams v:0 -show_entries packet=dts,pts,duration -of csv=p=0 bf_hevc_cra.mp4; } > bf_hevc_cra.times.txt
ffprobe -v error -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 bf_hevc_cra.hevc > bf_hevc_cra.hevc.packets.txt

# Colour signalling: small streams with explicit colour settings, encoded by
# FFmpeg into MP4 and remuxed into MOV; the Annex-B stream is taken from the
# MOV, and the colr and pasp boxes FFmpeg wrote into each file's sample entry
# (in entry order, concatenated) become the reference for ours. No B-frames:
# the streams are recorded with presentation order equal to decode order.
colour() {  # name, extension, raw format, encoder options...
  local name=$1 ext=$2 fmt=$3
  shift 3
  $FF -f lavfi -i testsrc=size=160x120:rate=25 -frames:v 5 "$@" "$tmp/$name.mp4"
  $FF -i "$tmp/$name.mp4" -c copy "$tmp/$name.mov"
  $FF -i "$tmp/$name.mov" -c copy -bsf:v "${fmt}_mp4toannexb" -f "$fmt" "$name.$ext"
  ffprobe -v error -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 "$name.$ext" > "$name.$ext.packets.txt"
  python3 - "$tmp/$name" "$name" <<'PYEOF'
import struct, sys
src, name = sys.argv[1], sys.argv[2]
def entry_children(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, typ = struct.unpack('>I4s', data[pos:pos + 8])
        if size < 8:
            break
        if typ in (b'moov', b'trak', b'mdia', b'minf', b'stbl'):
            r = entry_children(data, pos + 8, pos + size)
            if r is not None:
                return r
        if typ == b'stsd':
            entry = pos + 16
            esize = struct.unpack('>I', data[entry:entry + 4])[0]
            return data[entry + 86:entry + esize]
        pos += size
    return None
for flavour in ('mp4', 'mov'):
    data = open(f'{src}.{flavour}', 'rb').read()
    children = entry_children(data, 0, len(data))
    out, pos = b'', 0
    while pos + 8 <= len(children):
        size, typ = struct.unpack('>I4s', children[pos:pos + 8])
        if size < 8:
            break
        if typ in (b'colr', b'pasp'):
            out += children[pos:pos + size]
        pos += size
    open(f'{name}.{flavour}.colour.bin', 'wb').write(out)
PYEOF
}
colour colour_h264_bt709 h264 h264 -vf setsar=4/3 -pix_fmt yuv420p -c:v libx264 -preset veryfast -bf 0 \
  -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv
colour colour_hevc_pq h265 hevc -pix_fmt yuv420p10le -c:v libx265 -preset veryfast -tag:v hvc1 \
  -x265-params bframes=0:log-level=error -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -color_range pc
colour colour_hevc_hlg h265 hevc -pix_fmt yuv420p10le -c:v libx265 -preset veryfast -tag:v hvc1 \
  -x265-params bframes=0:log-level=error -color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc -color_range tv

# ProRes carries its colour in every frame header; prores_ks fills it from the
# frame's colour properties. The frames sit in a small QuickTime file remuxed
# by FFmpeg, whose fiel, colr and pasp boxes are the reference for ours:
# BT.709 in 4:2:2, BT.2020 with PQ in 4:4:4 XQ.
prores_colour() {  # name, profile, pixel format, colour parameters
  $FF -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 3 -vf "setparams=$4" \
    -c:v prores_ks -profile:v "$2" -pix_fmt "$3" "$tmp/$1.mov"
  $FF -i "$tmp/$1.mov" -c copy "$1.mov"
}
prores_colour colour_prores_bt709 2 yuv422p10le color_primaries=bt709:color_trc=bt709:colorspace=bt709
prores_colour colour_prores_pq 5 yuva444p10le color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc

ls -l
