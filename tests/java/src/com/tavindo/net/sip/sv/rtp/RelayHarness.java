package com.tavindo.net.sip.sv.rtp;

import com.tavindo.test.Check;
import com.tavindo.test.ChildProcess;

import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.function.BooleanSupplier;

/** Shared set-up of the relay tests: start-up, lent threads, UDP "phones", child JVMs. */
final class RelayHarness {
    static final String LOOPBACK = "127.0.0.1";
    /** The head of the status text while both queues are empty. */
    static final String QUEUES = "<EventQueue GC> :q.size:0\nscdq.size:0\n\r\n"
            + "<EventQueue EVENT> :q.size:0\nscdq.size:0\n\r\n";

    private RelayHarness() {}

    /** Loads the library and starts the relay with its log in a fresh directory; the log file. */
    static Path start(Properties extra) throws IOException {
        Check.load("mediarelay.lib");
        Path dir = tempDir("relaytest");
        Properties p = new Properties();
        p.setProperty("path.log", dir.toString());
        p.putAll(extra);
        RTPexJNI.initStatic0(p, false);
        return dir.resolve("proxy.log");
    }

    /** A fresh temporary directory, removed with all it holds when this JVM exits. */
    static Path tempDir(String prefix) throws IOException {
        Path dir = Files.createTempDirectory(prefix);
        Runtime.getRuntime().addShutdownHook(new Thread(() -> ChildProcess.deleteTree(dir), "rm-" + dir.getFileName()));
        return dir;
    }

    /** Threads that serve the queue of index in a loop, as the server does. */
    static Thread lend(int index) {
        Thread t = new Thread(() -> {
            while (RTPexJNI.workthread0(index)) {
                // serve again
            }
        }, "relay-q" + index);
        t.setDaemon(true);
        t.start();
        return t;
    }

    /** An IPv4 endpoint on 127.0.0.1 within [min, max], learning allowed. */
    static long open(long sid, int min, int max) {
        return RTPexJNI.openSocket0(sid, (byte) 0, min, max, 0, 0, 0L, "h", 1500, 1500, true,
                (short) 0, false, LOOPBACK, 0);
    }

    static int port(long id) {
        return (int) (id & 0xffffffffL);
    }

    static String status() {
        return RTPexJNI.getNativeInfo0("");
    }

    static String log(Path file) throws IOException {
        return Files.exists(file) ? Files.readString(file, StandardCharsets.ISO_8859_1) : "";
    }

    static boolean waitUntil(BooleanSupplier done, int ms) throws InterruptedException {
        for (int waited = 0; waited < ms; waited += 10) {
            if (done.getAsBoolean()) {
                return true;
            }
            Thread.sleep(10);
        }
        return done.getAsBoolean();
    }

    /** A UDP socket on 127.0.0.1 with a bounded receive wait. */
    static DatagramSocket udp() throws IOException {
        return udp(0);
    }

    static DatagramSocket udp(int port) throws IOException {
        DatagramSocket s = new DatagramSocket(new InetSocketAddress(LOOPBACK, port));
        s.setSoTimeout(10000);
        return s;
    }

    /** An RTP datagram: version 2, payload type pt, sequence seq, 20 bytes of payload. */
    static byte[] rtp(int pt, int seq) {
        byte[] b = new byte[32];
        b[0] = (byte) 0x80;
        b[1] = (byte) pt;
        b[2] = (byte) (seq >> 8);
        b[3] = (byte) seq;
        b[8] = 0x11;
        return b;
    }

    /** An RTCP sender report (packet type 200). */
    static byte[] rtcp(int tag) {
        byte[] b = new byte[28];
        b[0] = (byte) 0x80;
        b[1] = (byte) 200;
        b[3] = 6;
        b[8] = (byte) tag;
        return b;
    }

    static void send(DatagramSocket from, byte[] data, int port) throws IOException {
        from.send(new DatagramPacket(data, data.length, InetAddress.getByName(LOOPBACK), port));
    }

    /** The next datagram on s, or null after its receive wait. */
    static DatagramPacket receive(DatagramSocket s) throws IOException {
        DatagramPacket p = new DatagramPacket(new byte[2048], 2048);
        try {
            s.receive(p);
            return p;
        } catch (SocketTimeoutException e) {
            return null;
        }
    }

    /** Whether ip:port can be bound for UDP right now. */
    static boolean bindable(int port) {
        try (DatagramSocket s = new DatagramSocket(new InetSocketAddress(LOOPBACK, port))) {
            return s.isBound();
        } catch (IOException e) {
            return false;
        }
    }

    /** Runs mainClass in a child JVM with -Xcheck:jni, extra environment and working directory. */
    static ChildProcess child(String mainClass, Map<String, String> env, Path cwd, List<String> jvmOpts,
            String... args) throws IOException, InterruptedException {
        return childOn(System.getProperty("mediarelay.lib"), mainClass, env, cwd, jvmOpts, args);
    }

    /** The same as child, with the relay library at lib. */
    static ChildProcess childOn(String lib, String mainClass, Map<String, String> env, Path cwd,
            List<String> jvmOpts, String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>();
        cmd.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        cmd.add("-Xcheck:jni");
        cmd.addAll(jvmOpts);
        cmd.add("-cp");
        cmd.add(System.getProperty("java.class.path"));
        cmd.add("-Dmediarelay.lib=" + lib);
        cmd.add(mainClass);
        cmd.addAll(List.of(args));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        if (cwd != null) {
            pb.directory(cwd.toFile());
        }
        pb.environment().putAll(env);
        ChildProcess c = run(pb, mainClass + " " + String.join(" ", args));
        Check.isTrue("no JNI warning in child " + String.join(" ", args) + ":\n" + c.out,
                !ChildProcess.hasJniWarning(c.out));
        return c;
    }

    /** Runs pb; a process still running after 60 s is killed. */
    static ChildProcess run(ProcessBuilder pb, String what) throws IOException, InterruptedException {
        return ChildProcess.run(pb, what, 60);
    }
}
