package com.tavindo.demo;

import com.tavindo.net.sip.sv.rtp.RTPexJNI;

import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketTimeoutException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Properties;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Plays the SIP server: two local UDP "phones" talk through two paired relay endpoints for a few
 * seconds. Phone 1 sits behind a simulated NAT (it was signalled on a port it does not use), so
 * the relay has to learn where it really is.
 */
public final class RelayDemo {
    private static final String LOOPBACK = "127.0.0.1";
    private static final int SECONDS = 3;

    private RelayDemo() {}

    public static void main(String[] args) throws Exception {
        System.load(Path.of(args[0]).toAbsolutePath().toString());
        // The log directory must exist: the relay does not create it.
        Path logDir = args.length > 1 ? Path.of(args[1]) : Files.createTempDirectory("relaydemo");
        Properties props = new Properties();
        props.setProperty("path.log", logDir.toString());
        RTPexJNI.initStatic0(props, false);
        lend(0);
        lend(1);
        RTPexJNI.setListener((sid, port, type, value, ipv6, text) ->
                System.out.println("event: sid " + sid + " port " + port + " type " + type + " value " + value));

        long a = RTPexJNI.openSocket0(101, (byte) 0, 44000, 44198, 0, 0xb8, 0, "leg-1", 1500, 1500,
                true, (short) 0, false, LOOPBACK, 0);
        long b = RTPexJNI.openSocket0(102, (byte) 0, 44000, 44198, 0, 0xb8, 0, "leg-2", 1500, 1500,
                true, (short) 0, false, LOOPBACK, 0);
        if (a == 0 || b == 0) {
            System.out.println("could not open the endpoints (ports 44000-44199 busy?)");
            System.exit(1);
        }
        int pa = (int) a;
        int pb = (int) b;
        System.out.println("endpoint 1: port " + pa + ", endpoint 2: port " + pb);

        try (DatagramSocket p1 = bind(0); DatagramSocket p1c = bind(0);
                DatagramSocket p2 = bind(44200); DatagramSocket p2c = bind(44201)) {
            // What arrives at endpoint 1 goes to phone 2; what arrives at endpoint 2 goes to
            // phone 1, which was signalled on port 44190 but really sends from elsewhere.
            RTPexJNI.setTarget0(a, LOOPBACK, 44200, 0, null, 0, 0, false, 0);
            RTPexJNI.setTarget0(b, LOOPBACK, 44190, 0, null, 0, 0, true, 0);
            RTPexJNI.setSender0(a, b);
            RTPexJNI.setSender0(b, a);
            RTPexJNI.start0(a);
            RTPexJNI.start0(b);
            System.out.println("phone 1 (behind NAT) sends from RTP port " + p1.getLocalPort()
                    + ", RTCP port " + p1c.getLocalPort() + "; signalled 44190");

            Counter rtp1 = new Counter(p2);
            Counter rtcp1 = new Counter(p2c);
            Counter rtp2 = new Counter(p1);
            Counter rtcp2 = new Counter(p1c);
            int sent = 0;
            int sentRtcp = 0;
            long end = System.currentTimeMillis() + SECONDS * 1000L;
            for (int seq = 0; System.currentTimeMillis() < end && seq < SECONDS * 100; seq++) {
                send(p1, rtp(0, seq), pa);
                send(p2, rtp(8, seq), pb);
                sent++;
                if (seq % 25 == 0) {
                    send(p1c, rtcp(), pa + 1);
                    send(p2c, rtcp(), pb + 1);
                    sentRtcp++;
                }
                Thread.sleep(20);
            }
            Thread.sleep(300);
            System.out.println();
            System.out.println("phone 1 -> phone 2: RTP " + rtp1.count.get() + " of " + sent + ", RTCP "
                    + rtcp1.count.get() + " of " + sentRtcp);
            System.out.println("phone 2 -> phone 1: RTP " + rtp2.count.get() + " of " + sent + ", RTCP "
                    + rtcp2.count.get() + " of " + sentRtcp);
            for (long id : new long[] {a, b}) {
                System.out.println("endpoint " + (int) id + ": packets " + RTPexJNI.getCntPacket0(id)
                        + ", packets/s " + RTPexJNI.getPacketPerSec0(id) + ", payload type "
                        + RTPexJNI.getTypePayload0(id) + ", target " + RTPexJNI.getTarget0(id));
            }
            System.out.println();
            System.out.println("status text (rev " + RTPexJNI.getNativeInfo0("rev") + "):");
            System.out.print(RTPexJNI.getNativeInfo0("").replace("\r\n", "\n"));
            RTPexJNI.toDie0(a, false);
            RTPexJNI.toDie0(b, false);
        }
        String log = Files.readString(logDir.resolve("proxy.log"));
        System.out.println();
        System.out.println("log " + logDir.resolve("proxy.log") + ", first line: " + log.lines().findFirst().orElse(""));
        System.exit(0);
    }

    private static void lend(int index) {
        Thread t = new Thread(() -> {
            while (RTPexJNI.workthread0(index)) {
                // serve again
            }
        }, "relay-queue-" + index);
        t.setDaemon(true);
        t.start();
    }

    private static DatagramSocket bind(int port) throws Exception {
        DatagramSocket s = new DatagramSocket(new InetSocketAddress(LOOPBACK, port));
        s.setSoTimeout(200);
        return s;
    }

    private static void send(DatagramSocket s, byte[] data, int port) throws Exception {
        s.send(new DatagramPacket(data, data.length, InetAddress.getByName(LOOPBACK), port));
    }

    private static byte[] rtp(int pt, int seq) {
        byte[] b = new byte[172];  // 12-byte header, 20 ms of G.711
        b[0] = (byte) 0x80;
        b[1] = (byte) pt;
        b[2] = (byte) (seq >> 8);
        b[3] = (byte) seq;
        return b;
    }

    private static byte[] rtcp() {
        byte[] b = new byte[28];  // an empty sender report
        b[0] = (byte) 0x80;
        b[1] = (byte) 200;
        b[3] = 6;
        return b;
    }

    /** Counts what one phone socket receives, on a daemon thread. */
    private static final class Counter {
        final AtomicInteger count = new AtomicInteger();

        Counter(DatagramSocket s) {
            Thread t = new Thread(() -> {
                DatagramPacket p = new DatagramPacket(new byte[2048], 2048);
                while (!s.isClosed()) {
                    try {
                        s.receive(p);
                        count.incrementAndGet();
                    } catch (SocketTimeoutException e) {
                        // look again
                    } catch (Exception e) {
                        return;
                    }
                }
            });
            t.setDaemon(true);
            t.start();
        }
    }
}
