#!/usr/bin/env bash
# Publishing the same FLV to nginx with this project's connection and with the
# ffmpeg command line (-c copy, no pacing), over RTMP and over RTMPS through
# stunnel, in one run. nginx announces a chunk size of 4096, which both
# publishers adopt or exceed. Both publish to nginx's application "bench",
# which takes the stream without recording it: with recording on, nginx spends
# most of one core writing the file and bounds both publishers alike.
#
#   bench/rtmp_publish_compare.sh [BUILD_DIR] [RUNS]
#
# Each publish is timed from the publisher's start until nginx has read the
# connection to its end and closed it, so the bytes a publisher left in the
# kernel at exit count for both alike. A measurement sends the file SHORT
# times and then LONG times in a row (ffmpeg: -stream_loop; ours: the same
# tags with their times moved on); its rate is the extra bytes over the extra
# time, so that process start, connect and close, which both pay once, cancel
# out. The publishers take turns, ours then ffmpeg, RUNS pairs in all, so that
# whatever else the machine does meanwhile weighs on both alike; the result
# is the median of the pairs' ratios, with each side's median rate beside it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="$(cd "${1:-$root/build}" && pwd)"
runs="${2:-5}"
short=2
long=12
bench="$build/bench/rtmp_publish_bench"
peers="$root/tests/peers"
[ -x "$bench" ] || { echo "no $bench; build the target rtmp_publish_bench first" >&2; exit 1; }
for tool in nginx stunnel ffmpeg openssl awk ss; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

work="$(mktemp -d /tmp/quarzadel-publish-compare.XXXXXX)"
cleanup() {
  "$peers/stunnel.sh" stop "$work/stunnel" >/dev/null 2>&1 || true
  "$peers/nginx-rtmp.sh" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# A throw-away authority and a certificate for localhost, trusted by our side
# through SSL_CERT_FILE (ffmpeg does not verify by default).
certs="$work/certs"
mkdir -p "$certs"
(
  cd "$certs"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=Quarzadel Bench CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign -keyout ca.key -out ca.pem
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' > server.ext
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
    -keyout server.key -out server.csr
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile server.ext -out server.pem
) >/dev/null 2>&1 || { echo "openssl could not make the test certificates" >&2; exit 1; }

flv="$("$bench" --flv)"
[ -f "$flv" ] || { echo "no test FLV" >&2; exit 1; }
bytes="$(stat -c %s "$flv")"

value() { sed -n "s/^$1=//p"; }
# calc EXPRESSION: floating-point arithmetic and comparisons (1 or 0).
calc() { awk "BEGIN { print ($1) }"; }
nginx_out="$("$peers/nginx-rtmp.sh" start "$work/nginx")"
nginx_port="$(value PORT <<<"$nginx_out")"
stunnel_out="$("$peers/stunnel.sh" start "$work/stunnel" "$nginx_port" "$certs/server.pem" "$certs/server.key")"
stunnel_port="$(value PORT <<<"$stunnel_out")"

# nginx_holds: true while nginx still has a client connection open (reading
# it, or not yet seen its end). Through stunnel the client is stunnel, which
# closes its side once it has passed on everything the publisher sent.
nginx_holds() {
  [ -n "$(ss -Htn state established state close-wait "( sport = :$nginx_port )")" ]
}

# seconds PUBLISHER URL KEY LOOPS: wall time of one publish, from start until nginx has taken
# the last byte and closed the connection.
seconds() {
  local who="$1" url="$2" key="$3" loops="$4" begin end i
  # A connection of the previous publish nginx has not closed yet would end the wait below early.
  for i in $(seq 1 500); do nginx_holds || break; sleep 0.01; done
  nginx_holds && { echo "nginx still holds a connection" >&2; return 1; }
  begin="$(date +%s.%N)"
  if [ "$who" = ffmpeg ]; then
    ffmpeg -nostdin -hide_banner -loglevel error -stream_loop $((loops - 1)) -i "$flv" -c copy -f flv \
      "$url/$key" || return 1
  else
    SSL_CERT_FILE="$certs/ca.pem" "$bench" --publish "$url" "$key" "$flv" "$loops" || return 1
  fi
  while nginx_holds; do :; done
  end="$(date +%s.%N)"
  calc "$end - $begin"
}

# measure PUBLISHER URL TAG: prints the steady MB/s of one measurement.
measure() {
  local who="$1" url="$2" tag="$3" a b
  a="$(seconds "$who" "$url" "$who-$tag-short" "$short")" || return 1
  b="$(seconds "$who" "$url" "$who-$tag-long" "$long")" || return 1
  calc "($long - $short) * $bytes / ($b - $a) / 1000000"
}

# median: the middle of the numbers on standard input (the mean of the two middle ones for an even count).
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf 'FLV: %s (%.1f MB), sent %d and %d times, %d interleaved pairs\n' "$flv" "$(calc "$bytes / 1000000")" \
  "$short" "$long" "$runs"
for transport in rtmp rtmps; do
  if [ "$transport" = rtmp ]; then url="rtmp://127.0.0.1:$nginx_port/bench"; else url="rtmps://localhost:$stunnel_port/bench"; fi
  ratios="" ours_all="" theirs_all=""
  for i in $(seq 1 "$runs"); do
    ours="$(measure ours "$url" "$transport-$i")" || { echo "$transport: our publish failed" >&2; exit 1; }
    theirs="$(measure ffmpeg "$url" "$transport-$i")" || { echo "$transport: ffmpeg failed" >&2; exit 1; }
    ratio="$(calc "$ours / $theirs")"
    printf '%-5s pair %d: connection %7.0f MB/s   ffmpeg %7.0f MB/s   ratio %.2fx\n' "$transport" "$i" "$ours" "$theirs" "$ratio"
    ratios+="$ratio"$'\n' ours_all+="$ours"$'\n' theirs_all+="$theirs"$'\n'
  done
  printf '%-5s median of %d pairs: ratio %.2fx (connection %.0f MB/s, ffmpeg %.0f MB/s)\n' "$transport" "$runs" \
    "$(median <<<"${ratios%$'\n'}")" "$(median <<<"${ours_all%$'\n'}")" "$(median <<<"${theirs_all%$'\n'}")"
done
