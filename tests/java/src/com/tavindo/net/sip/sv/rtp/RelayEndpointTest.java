package com.tavindo.net.sip.sv.rtp;

import static com.tavindo.net.sip.sv.rtp.RelayHarness.LOOPBACK;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.QUEUES;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.open;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.port;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.receive;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.rtcp;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.rtp;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.send;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.status;
import static com.tavindo.net.sip.sv.rtp.RelayHarness.udp;

import com.tavindo.test.Check;

import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Properties;

/** The per-endpoint native methods through the real library (ports 43200-43499). */
public final class RelayEndpointTest {
    private static final int MIN = 43200;
    private static final int MAX = 43498;
    private static Path logFile;

    private RelayEndpointTest() {}

    public static void main(String[] args) throws Exception {
        logFile = RelayHarness.start(new Properties());
        Check.group("empty status text", RelayEndpointTest::emptyStatus);
        Check.group("status text entries", RelayEndpointTest::statusEntries);
        Check.group("targets", RelayEndpointTest::targets);
        Check.group("cache ids", RelayEndpointTest::cacheIds);
        Check.group("srtp count", RelayEndpointTest::srtpCount);
        RelayHarness.lend(0);
        RelayHarness.lend(1);
        Check.group("relay both ways", RelayEndpointTest::relayBothWays);
        Check.group("transfer", RelayEndpointTest::transfer);
        Check.group("rtcp target rules", RelayEndpointTest::rtcpTargetRules);
        Check.group("packets per second", RelayEndpointTest::packetsPerSecond);
        Check.group("toDie0", RelayEndpointTest::toDie);
        Check.finish();
    }

    private static void emptyStatus() {
        String empty = QUEUES + "<RTPex> count:0;\r\n\r\n<SRTP Converting> count:0\r\n";
        Check.equal("empty relay", empty, status());
        Check.equal("null key", empty, RTPexJNI.getNativeInfo0(null));
        Check.equal("rev", "1", RTPexJNI.getNativeInfo0("rev"));
        for (String key : new String[] {"REV", "rev ", "revision", "Rev"}) {
            Check.equal("key " + key, empty, RTPexJNI.getNativeInfo0(key));
        }
    }

    private static void statusEntries() {
        long a = open(7, MIN, MAX);
        long b = open(-12, MIN, MAX);
        Check.isTrue("opened " + a + " " + b, a != 0 && b != 0);
        String head = QUEUES + "<RTPex> count:2;\r\n";
        String tail = "\r\n<SRTP Converting> count:0\r\n";
        Check.equal("unpaired", head + port(a) + "(7)," + port(b) + "(-12)" + tail, status());
        RTPexJNI.setSender0(a, b);
        Check.equal("a paired", head + port(a) + "@(7)," + port(b) + "(-12)" + tail, status());
        RTPexJNI.setSender0(b, a);
        RTPexJNI.toDie0(a, true);
        Check.equal("a released", head + port(a) + "(7)," + port(b) + "@(-12)" + tail, status());
        Check.equal("a still answers", 0L, RTPexJNI.getCntPacket0(a));
        RTPexJNI.toDie0(b, true);
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
    }

    private static void targets() {
        long a = open(1, MIN, MAX);
        Check.equal("no target yet", null, RTPexJNI.getTarget0(a));
        Check.equal("flags 7", 7, RTPexJNI.setTarget0(a, "192.0.2.7", 40000, 0, null, 0, 0, false, 7));
        Check.equal("target text", "192.0.2.7:40000", RTPexJNI.getTarget0(a));
        // Learning on while forwarding before learning is off: nowhere to send yet.
        RTPexJNI.setTarget0(a, "192.0.2.8", 40002, 0, null, 0, 0, true, 0);
        Check.equal("to be learned", null, RTPexJNI.getTarget0(a));
        // A target of the other family (or none) is no far end: nothing to name.
        for (String text : new String[] {"::1", "", null}) {
            RTPexJNI.setTarget0(a, text, 40004, 0, null, 0, 0, false, 0);
            Check.equal("no far end: " + text, null, RTPexJNI.getTarget0(a));
        }
        // Ports keep their low 16 bits; the RTCP port + 1 of the largest int must not overflow.
        for (int flags : new int[] {0, 2}) {
            Check.equal("largest port, flags " + flags, flags, RTPexJNI.setTarget0(a, "192.0.2.9",
                    Integer.MAX_VALUE, 0, null, 0, 0, false, flags));
            Check.equal("largest port in 16 bits", "192.0.2.9:65535", RTPexJNI.getTarget0(a));
        }
        RTPexJNI.toDie0(a, false);
    }

    private static void srtpCount() {
        long a = open(51, MIN, MAX);
        long b = open(52, MIN, MAX);
        RTPexJNI.setSender0(a, b);
        RTPexJNI.setSender0(b, a);
        byte[] key = RTPexJNI.createCryptoToSend0(a, (short) 0);
        Check.equal("key length", 30, key == null ? -1 : key.length);
        RTPexJNI.srtpKeyRecv0(b, (short) 0, new byte[29]);  // refused: too short
        RTPexJNI.srtpKeyRecv0(b, (short) 0, null);
        RTPexJNI.srtpStart0(a, b);
        Check.isTrue("incomplete pair converts nothing", status().endsWith("<SRTP Converting> count:0\r\n"));
        RTPexJNI.createCryptoToSend0(a, (short) 0);
        RTPexJNI.srtpKeyRecv0(b, (short) 0, key);
        RTPexJNI.srtpStart0(a, b);
        Check.isTrue("one converting pair", status().endsWith(
                "\r\n" + port(a) + "@(51)," + port(b) + "@(52)\r\n<SRTP Converting> count:1\r\n"));
        RTPexJNI.toDie0(a, true);
        Check.isTrue("released", status().endsWith("<SRTP Converting> count:0\r\n"));
        RTPexJNI.toDie0(b, true);
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
    }

    private static void cacheIds() {
        long a = open(3, MIN, MAX);
        long seq = a >>> 32;
        long reused = RTPexJNI.openSocketFromCache0(4, (byte) 1, a, 0, 0, "h2", 1500, 1500, true,
                false, null, 0);
        Check.equal("reuse value", ((seq + 1) << 32) | port(a), reused);
        Check.equal("reuse value is not registered", null, RTPexJNI.getTarget0(reused));
        Check.equal("reused endpoint answers", 0L, RTPexJNI.getCntPacket0(a));
        Check.isTrue("new sid shown", status().contains(port(a) + "(4)"));
        long b = open(5, MIN, MAX);
        Check.equal("next sequence", seq + 2, b >>> 32);
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
    }

    /** Two phones through two paired endpoints; phone 1 is reached only by learning. */
    private static void relayBothWays() throws Exception {
        try (DatagramSocket p1 = udp(); DatagramSocket p1c = udp(); DatagramSocket p2 = udp(43480);
                DatagramSocket p2c = udp(43481)) {
            long a = open(11, MIN, MAX);
            long b = open(12, MIN, MAX);
            RTPexJNI.setTarget0(a, LOOPBACK, 43480, 0, null, 0, 0, false, 0);
            // Phone 1 was signalled on a port it does not use (NAT).
            RTPexJNI.setTarget0(b, LOOPBACK, 43470, 0, null, 0, 0, true, 0);
            RTPexJNI.setSender0(a, b);
            RTPexJNI.setSender0(b, a);
            RTPexJNI.start0(a);
            RTPexJNI.start0(b);
            for (int i = 0; i < 5; i++) {
                send(p1, rtp(8, i), port(a));
                DatagramPacket got = receive(p2);
                Check.isTrue("rtp 1->2 #" + i, got != null && got.getPort() == port(b)
                        && Arrays.equals(rtp(8, i), Arrays.copyOf(got.getData(), got.getLength())));
                send(p1c, rtcp(i), port(a) + 1);
                got = receive(p2c);
                Check.isTrue("rtcp 1->2 #" + i, got != null && got.getPort() == port(b) + 1
                        && got.getLength() == 28 && got.getData()[8] == (byte) i);
                send(p2, rtp(0, i), port(b));
                got = receive(p1);
                Check.isTrue("rtp 2->1 (learned) #" + i, got != null && got.getPort() == port(a)
                        && got.getData()[1] == 0 && got.getData()[3] == (byte) i);
                send(p2c, rtcp(100 + i), port(b) + 1);
                got = receive(p1c);
                Check.isTrue("rtcp 2->1 (learned) #" + i, got != null && got.getPort() == port(a) + 1
                        && got.getData()[8] == (byte) (100 + i));
            }
            Check.equal("count a", 5L, RTPexJNI.getCntPacket0(a));
            Check.equal("count b", 5L, RTPexJNI.getCntPacket0(b));
            Check.equal("payload a", 8, RTPexJNI.getTypePayload0(a));
            Check.equal("payload b", 0, RTPexJNI.getTypePayload0(b));
            Check.equal("learned target", LOOPBACK + ":" + p1.getLocalPort(), RTPexJNI.getTarget0(b));
            Check.equal("given target", LOOPBACK + ":43480", RTPexJNI.getTarget0(a));
            RTPexJNI.start0(a);
            Check.equal("start0 resets count", 0L, RTPexJNI.getCntPacket0(a));
            Check.equal("start0 resets payload", -1, RTPexJNI.getTypePayload0(a));
            RTPexJNI.toDie0(a, false);
            RTPexJNI.toDie0(b, false);
        }
    }

    /**
     * The README's transfer: A talks with B, then with C on a new endpoint; the targets follow
     * the pairing, and B's endpoint is closed and freed.
     */
    private static void transfer() throws Exception {
        try (DatagramSocket phoneA = udp(); DatagramSocket phoneB = udp(43482);
                DatagramSocket phoneC = udp(43484)) {
            long a = open(21, MIN, MAX);
            long b = open(22, MIN, MAX);
            RTPexJNI.setTarget0(a, LOOPBACK, 43482, 0, null, 0, 0, false, 0);
            // A was signalled on a port it does not use: learned.
            RTPexJNI.setTarget0(b, LOOPBACK, 43470, 0, null, 0, 0, true, 0);
            RTPexJNI.setSender0(a, b);
            RTPexJNI.setSender0(b, a);
            Check.isTrue("A to B", relayed(phoneA, a, phoneB, b, 1));
            Check.isTrue("B to A", relayed(phoneB, b, phoneA, a, 2));

            long c = open(23, MIN, MAX);
            RTPexJNI.setTarget0(a, LOOPBACK, 43484, 0, null, 0, 0, false, 0);
            RTPexJNI.setTarget0(c, LOOPBACK, 43470, 0, null, 0, 0, true, 0);
            RTPexJNI.setSender0(a, c);
            RTPexJNI.setSender0(c, a);
            int pb = port(b);
            RTPexJNI.toDie0(b, false);
            Check.isTrue("A to C", relayed(phoneA, a, phoneC, c, 3));
            Check.isTrue("C to A", relayed(phoneC, c, phoneA, a, 4));
            Check.equal("C's endpoint learned A", LOOPBACK + ":" + phoneA.getLocalPort(),
                    RTPexJNI.getTarget0(c));
            Check.isTrue("b's ports released", RelayHarness.waitUntil(
                    () -> RelayHarness.bindable(pb) && RelayHarness.bindable(pb + 1), 10000));
            RTPexJNI.toDie0(a, false);
            RTPexJNI.toDie0(c, false);
        }
    }

    /** Whether RTP sent to endpoint in reaches to, sent from endpoint out's port. */
    private static boolean relayed(DatagramSocket from, long in, DatagramSocket to, long out, int seq)
            throws Exception {
        send(from, rtp(0, seq), port(in));
        DatagramPacket got = receive(to);
        return got != null && got.getPort() == port(out) && got.getData()[3] == (byte) seq;
    }

    /** Where RTCP arriving at a goes, by setTarget0's three rules. */
    private static void rtcpTargetRules() throws Exception {
        try (DatagramSocket p1c = udp(); DatagramSocket p2 = udp(43490); DatagramSocket p2c = udp(43491);
                DatagramSocket other = udp()) {
            long a = open(21, MIN, MAX);
            long b = open(22, MIN, MAX);
            RTPexJNI.setSender0(a, b);
            Object[][] rules = {
                {"port + 1", 0, null, p2c, 43490},
                {"multiplexed", 2, null, p2, 43490},
                {"explicit", 0, LOOPBACK, other, 43490},
                {"multiplexed wins", 2 | 4, LOOPBACK, p2, 43490},
                {"port + 1 in 16 bits", 0, null, p2c, 0x10000 + 43490},
            };
            int tag = 0;
            for (Object[] r : rules) {
                int flags = (Integer) r[1];
                String rtcpAddr = (String) r[2];
                DatagramSocket expected = (DatagramSocket) r[3];
                int port = (Integer) r[4];
                Check.equal("result " + r[0], flags,
                        RTPexJNI.setTarget0(a, LOOPBACK, port, 0, rtcpAddr, other.getLocalPort(), 0,
                                false, flags));
                send(p1c, rtcp(++tag), port(a) + 1);
                DatagramPacket got = receive(expected);
                Check.isTrue("rtcp to the " + r[0] + " destination",
                        got != null && got.getData()[8] == (byte) tag && got.getPort() == port(b) + 1);
            }
            RTPexJNI.toDie0(a, false);
            RTPexJNI.toDie0(b, false);
        }
    }

    private static void packetsPerSecond() throws Exception {
        try (DatagramSocket p1 = udp(); DatagramSocket p2 = udp()) {
            long a = open(31, MIN, MAX);
            long b = open(32, MIN, MAX);
            RTPexJNI.setTarget0(a, LOOPBACK, p2.getLocalPort(), 0, null, 0, 0, false, 0);
            RTPexJNI.setSender0(a, b);
            Check.equal("before start0", 0, RTPexJNI.getPacketPerSec0(a));
            long t0 = System.currentTimeMillis();
            RTPexJNI.start0(a);
            long t1 = System.currentTimeMillis();
            int n = 100;
            for (int i = 0; i < n; i++) {
                send(p1, rtp(8, i), port(a));
                Check.isTrue("relayed #" + i, receive(p2) != null);
            }
            int early = RTPexJNI.getPacketPerSec0(a);
            if (System.currentTimeMillis() - t1 < 1000) {
                Check.equal("within the first second", 0, early);
            }
            Thread.sleep(2500);
            long s0 = System.currentTimeMillis();
            int pps = RTPexJNI.getPacketPerSec0(a);
            long s1 = System.currentTimeMillis();
            long fewest = (s0 - t1) / 1000;
            long most = (s1 - t0) / 1000;
            Check.isTrue("pps " + pps + " = " + n + " / whole seconds in [" + fewest + ", " + most + "]",
                    fewest >= 2 && pps <= n / fewest && pps >= n / most);
            RTPexJNI.toDie0(a, false);
            RTPexJNI.toDie0(b, false);
        }
    }

    private static void toDie() throws Exception {
        long a = open(41, MIN, MAX);
        long b = open(42, MIN, MAX);
        RTPexJNI.setSender0(a, b);
        RTPexJNI.setSender0(b, (99L << 32) | 1);  // unknown partner: no pin left on b
        RTPexJNI.toDie0(a, true);
        Check.isTrue("kept registered", status().contains(port(a) + "(41)"));
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
        Check.isTrue("removed from the status text",
                !status().contains("(41)") && !status().contains("(42)"));
        for (long id : new long[] {a, b}) {
            int p = port(id);
            Check.isTrue("ports of " + p + " bindable again", RelayHarness.waitUntil(
                    () -> RelayHarness.bindable(p) && RelayHarness.bindable(p + 1), 10000));
        }
        Check.isTrue("no failed delete logged",
                !RelayHarness.log(logFile).contains("could not be deleted"));
    }
}
