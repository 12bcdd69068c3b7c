#!/usr/bin/env bash
# Time per compositor tick against ffmpeg's filter graph building the same
# 1280 x 720 picture (a 1920 x 1080 camera frame fitted into 960 x 540 with
# rounded corners, a 128 x 128 logo, a caption) from the same inputs, both on
# one core. Usage: bench/screen_compose_compare.sh [build dir]
set -euo pipefail
build=${1:-build}
bench="$build/bench/screen_compose_bench"
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
frames=300

ffmpeg -v error -f lavfi -i testsrc2=s=1920x1080:r=30:d=0.3 -pix_fmt nv12 -f rawvideo "$dir/video.nv12"
ffmpeg -v error -f lavfi -i "testsrc=s=256x256,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='(X+Y)/2'" \
  -frames:v 1 "$dir/logo.png"
# The rounded-corner coverage of a 960 x 540 picture with radius 24.
ffmpeg -v error -f lavfi -i "color=c=white:s=960x540,format=gray,geq=lum='if(gt(abs(X+0.5-480),456)*gt(abs(Y+0.5-270),246),255*clip(24.5-hypot(abs(X+0.5-480)-456,abs(Y+0.5-270)-246),0,1),255)'" \
  -frames:v 1 "$dir/mask.png"

font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
# Each input is decoded once and looped in memory by the graph, as our frames are held.
graph="color=c=0x1a264c:s=1280x720:r=30,format=yuv420p[bg];\
[0:v]loop=loop=-1:size=9,setpts=N/30/TB[cam];[1:v]loop=loop=-1:size=1[logo];[2:v]loop=loop=-1:size=1[mask];\
[cam]scale=960:540:flags=bilinear,format=yuva420p[v];[mask]format=gray[m];[v][m]alphamerge[vm];\
[bg][vm]overlay=160:90:shortest=1[a];[logo]scale=128:128:flags=bilinear[l];[a][l]overlay=W-w-32:32[b];\
[b]drawtext=fontfile=$font:text='Quarzadel live':fontsize=56:fontcolor=0xFFD040:x=48:y=H-th-40,format=nv12"
# ffmpeg's user time for a run of n pictures; two runs apart by $frames pictures
# leave out its start-up, and the looped inputs leave out file reading and decoding.
run_ffmpeg() {
  taskset -c 0 ffmpeg -hide_banner -nostats -v info -benchmark -threads 1 -filter_threads 1 -filter_complex_threads 1 \
    -f rawvideo -pix_fmt nv12 -s 1920x1080 -r 30 -i "$dir/video.nv12" -i "$dir/logo.png" -i "$dir/mask.png" \
    -filter_complex "$graph" -frames:v "$1" -f null - 2>&1 | sed -n 's/^bench: utime=\([0-9.]*\)s.*/\1/p'
}
short=$(run_ffmpeg 30)
long=$(run_ffmpeg $((30 + frames)))
ref=$(awk -v a="$short" -v b="$long" 'BEGIN { print b - a }')

ours=$(QZ_SCREEN_BENCH_INPUTS="$dir" taskset -c 0 "$bench" --benchmark_min_time=2 --benchmark_format=csv 2>/dev/null |
  awk -F, '/BM_ScreenTick/ {print $4}')
awk -v ref="$ref" -v frames=$frames -v ours="$ours" 'BEGIN {
  refms = ref * 1000 / frames
  printf "ffmpeg filter graph: %.3f ms per picture (user time of %d more pictures, start-up left out)\n", refms, frames
  printf "compositor tick:     %.3f ms per tick (cpu time)\n", ours
  printf "speed-up:            %.1fx\n", refms / ours
}'
