package com.tavindo.net.sip.sv.rtp;

import static com.tavindo.net.sip.sv.rtp.RelayHarness.LOOPBACK;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.QUEUES;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.port;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.status;

import com.tavindo.test.Check;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Stream;

/**
 * The native methods misused as a careless host would: unknown ids, null strings, null and
 * short key arrays, bad queue indexes, and calls racing toDie0 on one id from several
 * threads. No crash, fixed results, nothing left behind (ports 44000-44399).
 */
public final class RelayMisuseTest {
    private static final int MIN = 44000;
    private static final int MAX = 44398;
    private static final String NO_ENDPOINTS = QUEUES + "<RTPex> count:0;\r\n\r\n";
    private static Path logFile;
    private static List<String> descriptorsAtStart;

    private RelayMisuseTest() {}

    public static void main(String[] args) throws Exception {
        logFile = RelayHarness.start(new Properties());
        RelayHarness.lend(0);
        RelayHarness.lend(1);
        RelayHarness.log(logFile);  // the JDK's file channels keep a descriptor of their own
        descriptorsAtStart = openDescriptors();
        Check.group("bad queue indexes", RelayMisuseTest::badQueueIndexes);
        Check.group("unknown ids", RelayMisuseTest::unknownIds);
        Check.group("null strings", RelayMisuseTest::nullStrings);
        Check.group("null and short keys", RelayMisuseTest::nullAndShortKeys);
        Check.group("calls racing toDie0", RelayMisuseTest::racingToDie);
        Check.group("nothing left behind", RelayMisuseTest::nothingLeft);
        Check.finish();
    }

    /**
     * What the process's descriptors refer to, in order; directory listings of
     * descriptors (this one's own, whose number varies) are left out.
     */
    private static List<String> openDescriptors() throws IOException {
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            List<String> out = new ArrayList<>();
            fds.forEach(fd -> {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (!(target.startsWith("/proc/") && target.endsWith("/fd"))) {
                        out.add(fd.getFileName() + "->" + target);
                    }
                } catch (IOException e) {
                    // closed while listed: a listing's own descriptor
                }
            });
            out.sort(null);
            return out;
        }
    }

    private static long open(long sid) {
        long id = RelayHarness.open(sid, MIN, MAX);
        Check.isTrue("endpoint " + sid + " opened", id != 0);
        return id;
    }

    /** Waits until every endpoint is deleted and no deferred delete is pending. */
    private static boolean allDeleted() throws InterruptedException {
        return RelayHarness.waitUntil(() -> status().startsWith(NO_ENDPOINTS), 30000);
    }

    private static void badQueueIndexes() throws Exception {
        for (int index : new int[] {-1, 2, 3, 100, Integer.MIN_VALUE, Integer.MAX_VALUE}) {
            boolean[] result = {true};
            Thread t = new Thread(() -> result[0] = RTPexJNI.workthread0(index));
            t.start();
            t.join(10000);
            Check.isTrue("workthread0(" + index + ") returns", !t.isAlive());
            Check.equal("workthread0(" + index + ")", false, result[0]);
        }
    }

    private static void unknownIds() throws Exception {
        long known = open(10);
        long closed = open(11);
        RTPexJNI.toDie0(closed, false);
        long unregistered = RTPexJNI.openSocketFromCache0(12, (byte) 0, known, 0, 0, "h", 200,
                200, false, false, LOOPBACK, 0);
        Check.equal("cache result carries the port", port(known), port(unregistered));
        Check.isTrue("closed endpoint deleted", RelayHarness.waitUntil(
                () -> !status().contains("(11)") && status().startsWith(QUEUES), 10000));
        String logBefore = RelayHarness.log(logFile);
        String statusBefore = status();
        // A port never opened under a sequence never given out.
        long never = (77L << 32) | (MIN + 10);
        long[] ids = {0, -1, 1, Long.MAX_VALUE, Long.MIN_VALUE, closed, unregistered, known + 2, never};
        for (long id : ids) {
            String w = "id " + id + ": ";
            Check.equal(w + "getPacketPerSec0", 0, RTPexJNI.getPacketPerSec0(id));
            Check.equal(w + "getCntPacket0", 0L, RTPexJNI.getCntPacket0(id));
            Check.equal(w + "getTarget0", null, RTPexJNI.getTarget0(id));
            Check.equal(w + "getTypePayload0", -1, RTPexJNI.getTypePayload0(id));
            for (int flags : new int[] {0, 2, 7, -1}) {
                Check.equal(w + "setTarget0 flags " + flags, flags,
                        RTPexJNI.setTarget0(id, LOOPBACK, 5000, 0, null, 0, 0, false, flags));
            }
            Check.equal(w + "createCryptoToSend0", null, RTPexJNI.createCryptoToSend0(id, (short) 0));
            for (String bindIp : new String[] {LOOPBACK, null}) {
                Check.equal(w + "openSocketFromCache0 on " + bindIp, 0L, RTPexJNI.openSocketFromCache0(
                        1, (byte) 0, id, 0, 0, "h", 200, 200, false, false, bindIp, 0));
            }
            RTPexJNI.setSender0(id, known);
            RTPexJNI.setSender0(known, id);
            RTPexJNI.setSender0(id, id);
            RTPexJNI.srtpStart0(id, known);
            RTPexJNI.srtpStart0(known, id);
            RTPexJNI.srtpStart0(id, id);
            RTPexJNI.setSessionTimeOutTimer0(id, 1);
            RTPexJNI.setResponsePort0(id, true);
            RTPexJNI.start0(id);
            RTPexJNI.srtpKeyRecv0(id, (short) 0, new byte[30]);
            RTPexJNI.srtpKeyRecv0(id, (short) 0, null);
            RTPexJNI.toDie0(id, true);
            RTPexJNI.toDie0(id, false);
            RTPexJNI.join0(id);
        }
        Check.equal("status unchanged", statusBefore, status());
        Check.equal("nothing logged", logBefore, RelayHarness.log(logFile));
        // No pin was left on the known endpoint: it goes at once when closed.
        RTPexJNI.toDie0(known, false);
        Check.isTrue("known endpoint deleted", allDeleted());
    }

    private static void nullStrings() throws Exception {
        long id = RTPexJNI.openSocket0(20, (byte) 0, MIN, MAX, 0, 0, 0L, null, 1500, 1500, true,
                (short) 0, false, LOOPBACK, 0);
        Check.isTrue("opened with a null host text", id != 0);
        Check.equal("null addresses", 0,
                RTPexJNI.setTarget0(id, null, 5000, 0, null, 0, 0, false, 0));
        Check.equal("empty address text: no far end", null, RTPexJNI.getTarget0(id));
        Check.equal("null address, rtcp on the rtp port", 2,
                RTPexJNI.setTarget0(id, null, 5002, 0, null, 0, 0, true, 2));
        Check.equal("addresses again", 0,
                RTPexJNI.setTarget0(id, LOOPBACK, 5004, 0, null, 9, 9, false, 0));
        Check.equal("target after null texts", LOOPBACK + ":5004", RTPexJNI.getTarget0(id));
        long reused = RTPexJNI.openSocketFromCache0(21, (byte) 0, id, 0, 0, null, 200, 200, false,
                false, null, 5);
        Check.equal("reused with null texts", port(id), port(reused));
        Check.isTrue("reused endpoint listed", status().contains(port(id) + "(21)"));
        Check.isTrue("status for a null key", RTPexJNI.getNativeInfo0(null).startsWith(QUEUES));
        Check.equal("datagram socket null", false, RTPexJNI.bindToDeviceDatagram0(null, null));
        Check.equal("stream socket null", false, RTPexJNI.bindToDevice0(null, null));
        RTPexJNI.toDie0(id, false);
        Check.isTrue("deleted", allDeleted());
    }

    private static String srtpCount() {
        String s = status();
        return s.substring(s.indexOf("<SRTP Converting>"));
    }

    private static void nullAndShortKeys() throws Exception {
        long a = open(30);
        long b = open(31);
        RTPexJNI.setSender0(a, b);
        RTPexJNI.setSender0(b, a);
        for (short suite : new short[] {-1, 1, 99, Short.MIN_VALUE}) {
            byte[] key = RTPexJNI.createCryptoToSend0(b, suite);
            Check.isTrue("suite " + suite + " key", key != null && key.length == 30);
        }
        byte[][] refused = {null, new byte[0], new byte[1], new byte[29]};
        for (byte[] key : refused) {
            String w = "key of " + (key == null ? "null" : key.length + " bytes") + ": ";
            RTPexJNI.createCryptoToSend0(b, (short) 0);
            RTPexJNI.srtpKeyRecv0(a, (short) 0, key);
            // b's outbound context finds no inbound partner on a: nothing converts.
            RTPexJNI.srtpStart0(b, a);
            Check.equal(w + "no conversion", "<SRTP Converting> count:0\r\n", srtpCount());
        }
        for (int len : new int[] {30, 64}) {
            RTPexJNI.createCryptoToSend0(b, (short) 0);
            RTPexJNI.srtpKeyRecv0(a, (short) 0, new byte[len]);
            RTPexJNI.srtpStart0(b, a);
            Check.equal("key of " + len + " bytes converts", "<SRTP Converting> count:1\r\n",
                    srtpCount());
            RTPexJNI.toDie0(b, true);
            Check.equal("released", "<SRTP Converting> count:0\r\n", srtpCount());
            RTPexJNI.setSender0(b, a);
        }
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
        Check.isTrue("deleted", allDeleted());
    }

    /** One thread's share of calls on an endpoint that others are ending at the same time. */
    private static void hammer(long id, long partner, long other, int seed, AtomicInteger bad) {
        byte[] key = new byte[30];
        for (int i = 0; i < 60; i++) {
            switch ((i + seed) % 12) {
                case 0 -> RTPexJNI.toDie0(id, false);
                case 1 -> RTPexJNI.toDie0(id, (i & 1) == 0);
                case 2 -> RTPexJNI.setSender0(id, partner);
                case 3 -> RTPexJNI.setSender0(other, id);
                case 4 -> {
                    if (RTPexJNI.setTarget0(id, LOOPBACK, 5000, 0, null, 0, 0, true, 5) != 5) {
                        bad.incrementAndGet();
                    }
                }
                case 5 -> {
                    String t = RTPexJNI.getTarget0(id);
                    if (t != null && !t.equals(LOOPBACK + ":5000")) {
                        bad.incrementAndGet();
                    }
                }
                case 6 -> {
                    byte[] k = RTPexJNI.createCryptoToSend0(id, (short) 0);
                    if (k != null && k.length != 30) {
                        bad.incrementAndGet();
                    }
                }
                case 7 -> {
                    RTPexJNI.srtpKeyRecv0(id, (short) 0, key);
                    RTPexJNI.srtpStart0(id, partner);
                }
                case 8 -> {
                    long r = RTPexJNI.openSocketFromCache0(seed, (byte) 0, id, 0, 0, "h", 200, 200,
                            true, false, LOOPBACK, 0);
                    if (r != 0 && port(r) != port(id)) {
                        bad.incrementAndGet();
                    }
                }
                case 9 -> {
                    RTPexJNI.start0(id);
                    RTPexJNI.setResponsePort0(id, true);
                    RTPexJNI.setSessionTimeOutTimer0(id, 0);
                }
                case 10 -> {
                    if (RTPexJNI.getCntPacket0(id) != 0 || RTPexJNI.getPacketPerSec0(id) != 0) {
                        bad.incrementAndGet();
                    }
                }
                default -> {
                    if (RTPexJNI.getTypePayload0(id) != -1) {
                        bad.incrementAndGet();
                    }
                }
            }
        }
    }

    private static void racingToDie() throws Exception {
        AtomicInteger bad = new AtomicInteger();
        for (int round = 0; round < 20; round++) {
            long sid = 1000 + 10 * round;
            long a = open(sid);
            long b = open(sid + 1);
            long c = open(sid + 2);
            RTPexJNI.setSender0(a, b);
            RTPexJNI.setSender0(b, a);
            int threads = 6;
            CyclicBarrier start = new CyclicBarrier(threads);
            List<Thread> running = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                int seed = t * 2;
                Thread th = new Thread(() -> {
                    try {
                        start.await(10, TimeUnit.SECONDS);
                    } catch (Exception e) {
                        bad.incrementAndGet();
                        return;
                    }
                    hammer(a, b, c, seed, bad);
                });
                th.start();
                running.add(th);
            }
            for (Thread th : running) {
                th.join(30000);
                Check.isTrue("round " + round + " thread done", !th.isAlive());
            }
            RTPexJNI.toDie0(a, false);
            Check.isTrue("round " + round + " endpoint gone", !status().contains("(" + sid + ")"));
            Check.equal("round " + round + " gone for the host", 7,
                    RTPexJNI.setTarget0(a, LOOPBACK, 5000, 0, null, 0, 0, false, 7));
            RTPexJNI.toDie0(b, false);
            RTPexJNI.toDie0(c, false);
        }
        Check.equal("every result fixed", 0, bad.get());
        Check.isTrue("every endpoint deleted", allDeleted());
    }

    private static void nothingLeft() throws Exception {
        Check.isTrue("status of an empty relay", status().startsWith(NO_ENDPOINTS));
        // Every endpoint's two sockets closed with it.
        RelayHarness.waitUntil(() -> {
            try {
                return openDescriptors().size() == descriptorsAtStart.size();
            } catch (IOException e) {
                return false;
            }
        }, 10000);
        Check.equal("descriptors as at the start", descriptorsAtStart, openDescriptors());
        Check.isTrue("no failure recorded",
                !RelayHarness.log(logFile).contains("Exception. "));
    }
}
