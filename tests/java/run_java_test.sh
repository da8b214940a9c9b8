#!/bin/sh
# Runs one Java test class with -Xcheck:jni; any JNI warning fails the test.
# Extra JVM options may come in JAVA_TEST_OPTS.
cls="$1"; shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if [ "$JLIB_ASAN" = "1" ]; then
    export LD_PRELOAD="$ASAN_RUNTIME $CXX_RUNTIME"
    export ASAN_OPTIONS="detect_leaks=0:handle_segv=0:allow_user_segv_handler=1"
fi
# shellcheck disable=SC2086
"$JAVA" -Xcheck:jni $JAVA_TEST_OPTS -cp "$CLASSPATH" \
    -Dmediarelay.lib="$MEDIARELAY_LIB" -Dmediarelay.faults.lib="$MEDIARELAY_FAULTS_LIB" \
    -Dsysaux.lib="$SYSAUX_LIB" \
    "$cls" "$@" >"$out" 2>&1
rc=$?
cat "$out"
if grep -q "WARNING in native method\|^WARNING: JNI" "$out"; then
    echo "FAIL: JNI warning in the output of $cls"
    exit 1
fi
exit $rc
