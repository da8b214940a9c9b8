package com.tavindo.net.sip.sv.rtp;

import static com.tavindo.net.sip.sv.rtp.RelayHarness.LOOPBACK;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.port;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.send;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.udp;

import com.tavindo.test.Check;

import java.net.DatagramSocket;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.regex.Pattern;
import java.util.stream.Collectors;

/** Events to Java through the threads lent to workthread0 (ports 43600-43799). */
public final class RelayEventTest {
    private static final int MIN = 43600;
    private static final int MAX = 43798;
    private static final long THROWING_SID = 666;
    private static final List<long[]> events = new ArrayList<>();
    private static final AtomicBoolean throwOnNextBufferEvent = new AtomicBoolean();
    private static Path logFile;

    private RelayEventTest() {}

    public static void main(String[] args) throws Exception {
        logFile = RelayHarness.start(new Properties());
        RTPexJNI.setListener(RelayEventTest::onEvent);
        Check.group("forty events per call", RelayEventTest::fortyEvents);
        Check.group("deferred delete in the status text", RelayEventTest::deferredDelete);
        Check.group("exception in nativeEvent", RelayEventTest::exceptionInCallback);
        Check.group("session time-out", RelayEventTest::sessionTimeout);
        Check.finish();
    }

    private static void onEvent(long sid, long port, int type, int value, short ipv6, String text) {
        if (sid == THROWING_SID || (type == RTPexJNI.NATIVE_EVENT_BUFFER_SIZE
                && throwOnNextBufferEvent.getAndSet(false))) {
            throw new IllegalStateException("from the host");
        }
        synchronized (events) {
            events.add(new long[] {sid, port, type, value, ipv6, text == null ? 0 : 1});
        }
    }

    private static int eventCount() {
        synchronized (events) {
            return events.size();
        }
    }

    private static long[] event(int i) {
        synchronized (events) {
            return events.get(i);
        }
    }

    /** Paired endpoints a, b; a starts with a receive buffer of bufSize bytes. */
    private static long[] pair(long sid, int bufSize, long timeout) {
        long a = RTPexJNI.openSocket0(sid, (byte) 0, MIN, MAX, 0, 0, timeout, "h", bufSize, 200,
                false, (short) 0, false, LOOPBACK, 0);
        long b = RelayHarness.open(sid + 1, MIN, MAX);
        RTPexJNI.setSender0(a, b);
        RTPexJNI.setSender0(b, a);
        return new long[] {a, b};
    }

    private static void fortyEvents() throws Exception {
        long[] ab = pair(1000, 100, 0);
        boolean[] result = new boolean[1];
        Thread worker = new Thread(() -> result[0] = RTPexJNI.workthread0(1));
        worker.start();
        try (DatagramSocket phone = udp()) {
            for (int i = 0; i < 40; i++) {
                if (i == 39) {
                    Thread.sleep(300);
                    Check.isTrue("39 events leave the call waiting", worker.isAlive());
                }
                send(phone, new byte[10000], port(ab[0]));
                int want = i + 1;
                Check.isTrue("event " + want, RelayHarness.waitUntil(() -> eventCount() >= want, 10000));
            }
        }
        worker.join(10000);
        Check.isTrue("call returned", !worker.isAlive());
        Check.isTrue("returned true", result[0]);
        Check.equal("events", 40, eventCount());
        for (int i = 0; i < eventCount(); i++) {
            long[] e = event(i);
            Check.equal("buffer event " + i, List.of(1000L, (long) port(ab[0]),
                    (long) RTPexJNI.NATIVE_EVENT_BUFFER_SIZE, 100L + 200L * (i + 1), 0L, 0L),
                    List.of(e[0], e[1], e[2], e[3], e[4], e[5]));
        }
        RTPexJNI.toDie0(ab[0], false);
        RTPexJNI.toDie0(ab[1], false);
    }

    /** An endpoint pinned by an undelivered event waits on the "GC" queue. */
    private static void deferredDelete() throws Exception {
        long[] ab = pair(2000, 100, 0);
        String before = RTPexJNI.getNativeInfo0("");
        Check.isTrue("listed " + before, before.contains(port(ab[0]) + "@(2000)"));
        try (DatagramSocket phone = udp()) {
            send(phone, new byte[400], port(ab[0]));
            Check.isTrue("event waits", RelayHarness.waitUntil(() -> RTPexJNI.getNativeInfo0("")
                    .contains("<EventQueue EVENT> :q.size:1\n"), 10000));
        }
        int scheduled = scheduledOnGc(before);
        RTPexJNI.toDie0(ab[0], false);
        String text = RTPexJNI.getNativeInfo0("");
        Pattern shape = Pattern.compile("<EventQueue GC> :q\\.size:0\nscdq\\.size:(\\d+)\nnext schedule: \\d+\r\n"
                + "<EventQueue EVENT> :q\\.size:1\nscdq\\.size:0\n\r\n"
                + "<RTPex> count:1;\r\n" + port(ab[1]) + "@\\(2001\\)\r\n<SRTP Converting> count:0\r\n");
        Check.isTrue("status shape:\n" + text, shape.matcher(text).matches());
        Check.equal("one more deferred delete", scheduled + 1, scheduledOnGc(text));
        RelayHarness.lend(1);
        RelayHarness.lend(0);
        Check.isTrue("pending event delivered", RelayHarness.waitUntil(() -> eventCount() == 41, 10000));
        Check.equal("its size", 300L, event(40)[3]);
        RTPexJNI.toDie0(ab[1], true);  // the partner's pin goes too
        int p = port(ab[0]);
        Check.isTrue("deleted later", RelayHarness.waitUntil(
                () -> RelayHarness.bindable(p) && RelayHarness.bindable(p + 1), 10000));
        Check.isTrue("gc queue empty again", RelayHarness.waitUntil(() -> RTPexJNI.getNativeInfo0("")
                .startsWith("<EventQueue GC> :q.size:0\nscdq.size:0\n\r\n"), 10000));
        Check.isTrue("no failed delete logged: " + RTPexJNI.getNativeInfo0("") + log().substring(Math.max(0, log().length() - 600)), !log().contains("could not be deleted"));
        RTPexJNI.toDie0(ab[1], false);
    }

    private static int scheduledOnGc(String status) {
        java.util.regex.Matcher m = Pattern.compile("scdq\\.size:(\\d+)").matcher(status);
        return m.find() ? Integer.parseInt(m.group(1)) : -1;
    }

    private static int occurrences(String text, String part) {
        int n = 0;
        for (int i = text.indexOf(part); i >= 0; i = text.indexOf(part, i + 1)) {
            n++;
        }
        return n;
    }

    /** A listener's exception is reported in Java, with its stack, and logged by the relay. */
    private static void exceptionInCallback() throws Exception {
        long[] ab = pair(3000, 100, 0);
        int start = eventCount();
        List<Throwable> reported = new ArrayList<>();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> {
            synchronized (reported) {
                reported.add(e);
            }
        });
        throwOnNextBufferEvent.set(true);
        try (DatagramSocket phone = udp()) {
            send(phone, new byte[400], port(ab[0]));
            Check.isTrue("exception logged", RelayHarness.waitUntil(() -> occurrences(
                    log(), "Exception Occured in Java method.(nativeEvent)2\n") == 1, 10000));
            synchronized (reported) {
                Check.equal("reported to the thread's handler", List.of("from the host"),
                        reported.stream().map(Throwable::getMessage).collect(Collectors.toList()));
            }
            send(phone, new byte[400], port(ab[0]));
            Check.isTrue("next event delivered", RelayHarness.waitUntil(() -> eventCount() == start + 1, 10000));
        }
        Check.equal("next event's size", 500L, event(start)[3]);
        Check.equal("logged once", 1, occurrences(log(), "(nativeEvent)2"));
        Thread.setDefaultUncaughtExceptionHandler(null);
        RTPexJNI.toDie0(ab[0], false);
        RTPexJNI.toDie0(ab[1], false);
    }

    private static void sessionTimeout() throws Exception {
        long[] thrower = pair(THROWING_SID, 1500, 300);
        long[] ab = pair(4000, 1500, 300);
        Check.isTrue("time-out reaches Java", RelayHarness.waitUntil(() -> findTimeout(4000) != null, 15000));
        long[] e = findTimeout(4000);
        if (e != null) {
            Check.equal("time-out event", List.of(4000L, (long) port(ab[0]),
                    (long) RTPexJNI.NATIVE_EVENT_SESSION_TIMEOUT, 0L, 0L, 0L),
                    List.of(e[0], e[1], e[2], e[3], e[4], e[5]));
        }
        Check.isTrue("exception of type 1 logged", RelayHarness.waitUntil(
                () -> log().contains("Exception Occured in Java method.(nativeEvent)1\n"), 10000));
        for (long id : new long[] {thrower[0], thrower[1], ab[0], ab[1]}) {
            RTPexJNI.toDie0(id, false);
        }
    }

    private static long[] findTimeout(long sid) {
        synchronized (events) {
            for (long[] e : events) {
                if (e[0] == sid && e[2] == RTPexJNI.NATIVE_EVENT_SESSION_TIMEOUT) {
                    return e;
                }
            }
        }
        return null;
    }

    private static String log() {
        try {
            return RelayHarness.log(logFile);
        } catch (java.io.IOException e) {
            return "";
        }
    }
}
