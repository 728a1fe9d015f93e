# Sourced by scripts/windows.sh: the stages that build OpenSSL and libcurl for
# Windows from Debian's source packages into build-win/deps/prefix.
# Each stage leaves a stamp in build-win/deps/ and is skipped once its stamp
# and outputs are there; delete the stamp (or build-win/deps) to redo it.

deps_root=$PWD/build-win/deps
deps_src=$deps_root/src
deps_build=$deps_root/build
deps_prefix=$deps_root/prefix
mingw=x86_64-w64-mingw32

# Where the Windows build may look for configuration and modules: folders
# only administrators can write. mingw's defaults (C:\usr\local\ssl and the
# like) are relative to the current drive, where any user can create them.
# Configure only takes "/..." as absolute, so OPENSSLDIR is given relative to
# the prefix; ENGINESDIR and MODULESDIR follow the prefix too.
win_openssl_prefix="C:/Program Files/Common Files/Pathvane/openssl"
win_openssldir="$win_openssl_prefix/ssl"
win_enginesdir="$win_openssl_prefix/lib/engines-3"
win_modulesdir="$win_openssl_prefix/lib/ossl-modules"

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "$1 needs root" >&2
    exit 1
  fi
}

deps_packages() {
  local packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64 dpkg-dev zip unzip
    cmake ninja-build nlohmann-json3-dev googletest tinyproxy openssl python3
  )
  local missing=() p status
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  need_root "installing ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# Prints a deb822 stanza of type deb-src for every enabled Debian "deb" entry
# in the machine's apt sources, both formats, so source packages come from the
# same archive and suites as the installed binaries.
debian_src_entries() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f && $f != */pathvane-deb-src.sources ]] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris ~ /debian/) {
          print "Types: deb-src"; printf "%s", fields; print ""
        }
        types = ""; uris = ""; enabled = ""; fields = ""; keep = 0
      }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { if (keep) fields = fields $0 "\n"; next }
      {
        key = tolower($1); sub(/:$/, "", key)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        keep = 0
        if (key == "types") types = value
        else if (key == "enabled") enabled = tolower(value)
        else if (key == "uris" || key == "suites" || key == "components" || key == "signed-by") {
          if (key == "uris") uris = value
          fields = fields $0 "\n"; keep = 1
        }
      }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] || continue
    awk '
      $1 != "deb" { next }
      {
        signed = ""; i = 2
        if ($2 ~ /^\[/) {
          while (i <= NF) {
            opt = $i; gsub(/[][]/, "", opt)
            if (opt ~ /^signed-by=/) { signed = opt; sub(/^signed-by=/, "", signed) }
            if ($i ~ /\]$/) { i++; break }
            i++
          }
        }
        if ($i !~ /debian/) next
        comps = ""
        for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
        print "Types: deb-src"; print "URIs: " $i; print "Suites: " $(i + 1)
        if (comps != "") print "Components: " comps
        if (signed != "") print "Signed-By: " signed
        print ""
      }' "$f"
  done
}

# Source versions of a package, newest first, restricted to an upstream
# version prefix.
source_versions() {
  local pkg=$1 upstream=$2 v sorted=() out i
  local -a found
  mapfile -t found < <(apt-cache showsrc "$pkg" 2>/dev/null |
    awk -v p="$pkg" '/^Package:/ { cur = $2 } /^Version:/ && cur == p { print $2 }' |
    grep -E "^([0-9]+:)?${upstream//./\\.}" | sort -u)
  for v in "${found[@]}"; do
    out=()
    for ((i = 0; i < ${#sorted[@]}; i++)); do
      if [[ -n $v ]] && dpkg --compare-versions "$v" gt "${sorted[i]}"; then
        out+=("$v"); v=
      fi
      out+=("${sorted[i]}")
    done
    [[ -n $v ]] && out+=("$v")
    sorted=("${out[@]}")
  done
  printf '%s\n' "${sorted[@]}"
}

# Downloads and unpacks the newest source version of $1 matching upstream
# version $2 that can really be fetched; an entry apt lists may still lack a
# file on the mirror. Prints "<version> <unpacked dir>".
fetch_source() {
  local pkg=$1 upstream=$2 v dir tmp
  local -a versions
  mapfile -t versions < <(source_versions "$pkg" "$upstream")
  if [[ ${#versions[@]} -eq 0 || -z ${versions[0]} ]]; then
    echo "apt lists no source of $pkg $upstream" >&2
    return 1
  fi
  echo "$pkg source candidates: ${versions[*]}" >&2
  for v in "${versions[@]}"; do
    tmp=$deps_src/$pkg.tmp
    rm -rf "$tmp" && mkdir -p "$tmp"
    # apt drops root to _apt for the download, which needs to write here.
    chmod 777 "$tmp"
    if (cd "$tmp" && apt-get source -q "$pkg=$v" >&2); then
      dir=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -1)
      if [[ -n $dir ]]; then
        rm -rf "${deps_src:?}/$pkg"
        mv "$tmp" "$deps_src/$pkg"
        echo "$v $deps_src/$pkg/$(basename "$dir")"
        return 0
      fi
    fi
    echo "$pkg $v could not be fetched, trying the next one" >&2
  done
  rm -rf "$tmp"
  return 1
}

deps_sources() {
  local stamp=$deps_root/sources.stamp
  if [[ -f $stamp ]]; then
    source "$stamp"
    if [[ -d $openssl_dir && -d $curl_dir ]]; then
      echo "sources cached: openssl $openssl_version, curl $curl_version" >&2
      return 0
    fi
  fi
  need_root "adding deb-src entries"
  local list=/etc/apt/sources.list.d/pathvane-deb-src.sources entries
  entries=$(debian_src_entries)
  if [[ -z $entries ]]; then
    echo "found no Debian entry in the apt sources" >&2
    return 1
  fi
  if [[ ! -f $list ]] || [[ "$(cat "$list")" != "$entries" ]]; then
    printf '%s\n' "$entries" > "$list"
  fi
  # Another apt may hold the lists lock; the dpkg lock timeout does not
  # cover that one.
  local try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    apt_get update -qq && break
    [[ $try -lt 10 ]] || return 1
    echo "apt-get update failed, retrying" >&2
    sleep 30
  done
  mkdir -p "$deps_src"
  local o c
  o=$(fetch_source openssl 3.0.)
  c=$(fetch_source curl 7.88.1-)
  cat > "$stamp" <<EOF
openssl_version=${o%% *}
openssl_dir=${o#* }
curl_version=${c%% *}
curl_dir=${c#* }
EOF
  source "$stamp"
  echo "sources: openssl $openssl_version, curl $curl_version" >&2
}

deps_openssl() {
  local stamp=$deps_root/openssl.stamp
  source "$deps_root/sources.stamp"
  # The stamp records what was built, so a change of version or folders
  # rebuilds.
  local what="$openssl_version prefix=$win_openssl_prefix"
  if [[ -f $stamp && "$(cat "$stamp")" == "$what" &&
        -f $deps_prefix/bin/libcrypto-3-x64.dll && -f $deps_prefix/bin/libssl-3-x64.dll ]]; then
    echo "openssl cached: $(cat "$stamp")" >&2
    return 0
  fi
  local b=$deps_build/openssl
  # libcurl has to be linked against the new build.
  rm -f "$deps_root/curl.stamp"
  # 3.0 builds no documentation with the targets below and has no no-docs.
  local docs=()
  grep -qE '^[[:space:]]*"docs",' "$openssl_dir/Configure" && docs=(no-docs)
  # OpenSSL prepends the prefix to CC, which gives the posix compiler.
  # -static-libgcc keeps libgcc_s out of the DLLs' imports.
  local args=(mingw64 shared no-tests "${docs[@]}"
    --cross-compile-prefix=$mingw- CC=gcc-posix
    --prefix="$win_openssl_prefix" --libdir=lib --openssldir=ssl
    -static-libgcc)
  # A build tree configured the same way is kept: reconfiguring would
  # regenerate the headers and recompile everything.
  local configured
  configured=$(printf '"%s", ' "${args[@]}")
  configured="CONFIGURE_ARGS=(${configured%, })"
  if ! grep -qxF "$configured" "$b/Makefile" 2>/dev/null; then
    rm -rf "$b" && mkdir -p "$b"
    (cd "$b" && perl "$openssl_dir/Configure" "${args[@]}") >&2
  fi
  # Only the two DLLs with their import libraries and the generated headers:
  # not the apps, the engines or the static libraries.
  make -C "$b" -j2 build_generated >&2
  make -C "$b" -j2 libcrypto.dll.a libssl.dll.a >&2
  local d built_in
  built_in=$(strings "$b/libcrypto-3-x64.dll")
  for d in "OPENSSLDIR: \"$win_openssldir\"" "ENGINESDIR: \"$win_enginesdir\"" \
           "MODULESDIR: \"$win_modulesdir\""; do
    if ! grep -qxF "$d" <<< "$built_in"; then
      echo "libcrypto-3-x64.dll does not have $d built in" >&2
      return 1
    fi
  done
  mkdir -p "$deps_prefix"/{bin,lib,include}
  cp "$b"/libcrypto-3-x64.dll "$b"/libssl-3-x64.dll "$deps_prefix/bin/"
  cp "$b"/libcrypto.dll.a "$b"/libssl.dll.a "$deps_prefix/lib/"
  rm -rf "$deps_prefix/include/openssl"
  cp -r "$openssl_dir/include/openssl" "$deps_prefix/include/"
  # The generated headers (opensslv.h, configuration.h, ...) win over the
  # templates' leftovers.
  cp "$b"/include/openssl/*.h "$deps_prefix/include/openssl/"
  rm -f "$deps_prefix"/include/openssl/*.in
  echo "$what" > "$stamp"
}

# Debian renames libcurl for its GnuTLS and NSS flavours; those patches undo
# the plain name the OpenSSL build needs, so they are reversed. Found by what
# they change rather than by file name.
reverse_flavour_patches() {
  local src=$1 p found=0
  [[ -f $src/debian/patches/series ]] || return 0
  while read -r p; do
    p=${p%%#*}; p=${p%% *}
    [[ -n $p ]] || continue
    if grep -qE '^\+.*(curl-gnutls|curl-nss|CURL_GNUTLS|CURL_NSS)' "$src/debian/patches/$p"; then
      echo "reversing debian/patches/$p" >&2
      patch -R -p1 -s -d "$src" < "$src/debian/patches/$p"
      found=$((found + 1))
    fi
  done < <(tac "$src/debian/patches/series")
  echo "$found"
}

# nlohmann_json is header-only: its headers and relocatable package config
# are copied into the prefix, so the Windows build finds it under its find
# root rather than in the build machine's /usr.
deps_json() {
  local config=/usr/share/cmake/nlohmann_json
  mkdir -p "$deps_prefix/include" "$deps_prefix/share/cmake"
  rm -rf "$deps_prefix/include/nlohmann" "$deps_prefix/share/cmake/nlohmann_json"
  cp -r /usr/include/nlohmann "$deps_prefix/include/"
  cp -r "$config" "$deps_prefix/share/cmake/"
}

deps_curl() {
  local stamp=$deps_root/curl.stamp
  source "$deps_root/sources.stamp"
  deps_json
  if [[ -f $stamp && "$(cat "$stamp")" == "$curl_version" &&
        -f $deps_prefix/bin/xferlib.dll && -f $deps_prefix/lib/libxferlib.dll.a ]]; then
    echo "curl cached: $(cat "$stamp")" >&2
    return 0
  fi
  local s=$deps_build/curl-src b=$deps_build/curl n
  rm -rf "$s" "$b"
  cp -a "$curl_dir" "$s"
  n=$(reverse_flavour_patches "$s")
  if [[ $n -ne 2 ]]; then
    echo "expected two TLS flavour patches in curl's debian/patches, found $n" >&2
    return 1
  fi
  local psl=()
  grep -q 'CURL_USE_LIBPSL' "$s/CMakeLists.txt" && psl=(-DCURL_USE_LIBPSL=OFF)
  cmake -S "$s" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_FIND_ROOT_PATH="$deps_prefix" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps_prefix" \
    -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" \
    -DBUILD_SHARED_LIBS=ON \
    -DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$deps_prefix" \
    -DLIBCURL_OUTPUT_NAME=xferlib \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DCURL_DISABLE_LDAP=ON -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
    "${psl[@]}" -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_ZLIB=OFF \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF >&2
  cmake --build "$b" -j2 >&2
  cmake --install "$b" >&2
  # curl names the import library like the DLL; the usual lib prefix lets
  # both -lxferlib and find_library(xferlib) find it.
  mv "$deps_prefix/lib/xferlib.dll.a" "$deps_prefix/lib/libxferlib.dll.a"
  sed -i 's|/xferlib\.dll\.a|/libxferlib.dll.a|g' "$deps_prefix"/lib/cmake/CURL/CURLTargets-*.cmake
  echo "$curl_version" > "$stamp"
}
