package com.tavindo.net.sip.sv.rtp;

import com.tavindo.test.Check;
import com.tavindo.test.ChildProcess;

import java.io.FileDescriptor;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.Socket;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Properties;

/**
 * bindToDeviceDatagram0 and bindToDevice0: this JDK's datagram socket (the delegating layout)
 * for real, the classic and the stream layouts through classes of the same field layout.
 */
public final class BindToDeviceTest {
    private static final String STARS = "************************* ";
    private static Path logFile;

    private BindToDeviceTest() {}

    public static void main(String[] args) throws Exception {
        logFile = RelayHarness.start(new Properties());
        Check.group("this JDK's datagram socket", BindToDeviceTest::realDatagram);
        Check.group("delegating layout failures", BindToDeviceTest::delegatingFailures);
        Check.group("stream socket of this JDK", BindToDeviceTest::realStream);
        Check.group("stream layout", BindToDeviceTest::streamLayout);
        // From here on no datagram socket is probed for "delegate" any more.
        Check.group("classic layout", BindToDeviceTest::classicLayout);
        Check.group("real sockets through the other layouts", BindToDeviceTest::otherLayoutsForReal);
        Check.finish();
    }

    /** The local addresses of UDP sockets that are bound to a device ("addr%dev:port"). */
    static String boundDevices() throws Exception {
        String out = RelayHarness.run(new ProcessBuilder("ss", "-u", "-a", "-n", "-H"), "ss").out;
        List<String> bound = new ArrayList<>();
        for (String line : out.split("\n")) {
            for (String field : line.trim().split("\\s+")) {
                if (field.contains("%")) {
                    bound.add(field);
                }
            }
        }
        return String.join(",", bound);
    }

    /** Whether call raises NoSuchFieldError (a field of the layout is missing). */
    private static boolean raisesNoSuchField(Runnable call) {
        try {
            call.run();
            return false;
        } catch (NoSuchFieldError e) {
            return true;
        }
    }

    private static String newLog(int mark) throws Exception {
        return RelayHarness.log(logFile).substring(mark);
    }

    private static int mark() throws Exception {
        return RelayHarness.log(logFile).length();
    }

    private static void realDatagram() throws Exception {
        try (DatagramSocket s = RelayHarness.udp(); DatagramSocket peer = RelayHarness.udp()) {
            int m = mark();
            Check.isTrue("bound to lo", RTPexJNI.bindToDeviceDatagram0(s, "lo"));
            Check.isTrue("seen as bound: " + boundDevices(),
                    boundDevices().contains("%lo:" + s.getLocalPort()));
            RelayHarness.send(peer, new byte[] {1, 2, 3}, s.getLocalPort());
            DatagramPacket got = RelayHarness.receive(s);
            Check.isTrue("still receives on loopback", got != null && got.getLength() == 3);
            Check.isTrue("probe again, unknown device", !RTPexJNI.bindToDeviceDatagram0(s, "nosuchdev0"));
            Check.equal("errno record", "************************ setsockopt SO_BINDTODEVICE errno=19\n", newLog(m));
            Check.isTrue("null name unbinds", RTPexJNI.bindToDeviceDatagram0(s, null));
            Check.isTrue("no longer bound", !boundDevices().contains(":" + s.getLocalPort()));
        }
        DatagramSocket closed = RelayHarness.udp();
        closed.close();
        int m = mark();
        // This JDK keeps the number of a closed descriptor.
        Check.isTrue("closed socket", !RTPexJNI.bindToDeviceDatagram0(closed, "lo"));
        Check.equal("closed socket record", "************************ setsockopt SO_BINDTODEVICE errno=9\n",
                newLog(m));
    }

    private static void delegatingFailures() throws Exception {
        int m = mark();
        Check.isTrue("null delegate", !RTPexJNI.bindToDeviceDatagram0(new SocketFakes.DelegatingDatagram(null), "lo"));
        Check.equal("dlgt record", STARS + "could not get dlgt.\n", newLog(m));
        try (DatagramSocket inner = RelayHarness.udp()) {
            m = mark();
            Check.isTrue("missing dc raises NoSuchFieldError", raisesNoSuchField(
                    () -> RTPexJNI.bindToDeviceDatagram0(new SocketFakes.DelegatingDatagram(inner), "lo")));
            Check.equal("dc record", STARS + "could not get fid 1.1.\n", newLog(m));
        }
    }

    private static void realStream() throws Exception {
        try (Socket s = new Socket()) {
            int m = mark();
            Check.isTrue("this JDK's Socket has no descriptor object in impl", !RTPexJNI.bindToDevice0(s, "lo"));
            Check.equal("fd record", STARS + "could not get fd.\n", newLog(m));
        }
    }

    private static void streamLayout() throws Exception {
        String[][] cases = {
            {"descriptor 0", "in", STARS + "10 nfd=0\n"},
            {"descriptor -1", "new", STARS + "10 nfd=-1\n"},
            {"not a socket", "out", "************************ setsockopt SO_BINDTODEVICE errno=88\n"},
            {"no descriptor object", "null", STARS + "could not get fd.\n"},
        };
        for (String[] c : cases) {
            FileDescriptor fd = descriptor(c[1]);
            int m = mark();
            Check.isTrue(c[0] + " fails", !RTPexJNI.bindToDevice0(new SocketFakes.Stream(fd), "lo"));
            Check.equal(c[0] + " record", c[2], newLog(m));
        }
        int m = mark();
        Check.isTrue("no impl field raises NoSuchFieldError", raisesNoSuchField(
                () -> RTPexJNI.bindToDevice0(new SocketFakes.Bare(), "lo")));
        Check.equal("fid record", STARS + "could not get fid.\n", newLog(m));
    }

    private static FileDescriptor descriptor(String which) {
        switch (which) {
            case "in":
                return FileDescriptor.in;
            case "out":
                return FileDescriptor.out;
            case "new":
                return new FileDescriptor();
            default:
                return null;
        }
    }

    private static void classicLayout() throws Exception {
        String[][] cases = {
            {"descriptor 0", "in", STARS + "nfd=0\n"},
            {"descriptor -1", "new", STARS + "nfd=-1\n"},
            {"not a socket", "out", "************************ setsockopt SO_BINDTODEVICE errno=88\n"},
            {"impl null", "none", STARS + "could not get impl 1.\n"},
        };
        for (String[] c : cases) {
            FileDescriptor fd = descriptor(c[1]);
            int m = mark();
            Check.isTrue(c[0] + " fails", !RTPexJNI.bindToDeviceDatagram0(new SocketFakes.ClassicDatagram(fd), "lo"));
            Check.equal(c[0] + " record", c[2], newLog(m));
        }
        // The probe is not made again: this JDK's socket now takes the classic path too.
        try (DatagramSocket s = RelayHarness.udp()) {
            int m = mark();
            Check.isTrue("classic path for this JDK's socket", raisesNoSuchField(
                    () -> RTPexJNI.bindToDeviceDatagram0(s, "lo")));
            Check.equal("fid record", STARS + "could not get fid.\n", newLog(m));
        }
    }

    private static void otherLayoutsForReal() throws Exception {
        ChildProcess c = RelayHarness.child(BindChild.class.getName(), Map.of(), null,
                List.of("--add-opens", "java.base/java.net=ALL-UNNAMED", "--add-opens",
                        "java.base/sun.nio.ch=ALL-UNNAMED", "--add-opens", "java.base/java.io=ALL-UNNAMED"));
        Check.equal("child exit:\n" + c.out, 0, c.exit);
        Check.equal("classic layout binds", "true", c.value("classic"));
        Check.equal("stream layout binds", "true", c.value("stream"));
        String ss = String.valueOf(c.value("ss"));
        Check.isTrue("both seen bound: " + ss, ss.contains("%lo:" + c.value("classicPort"))
                && ss.contains("%lo:" + c.value("streamPort")));
        // A closed socket's number, taken by another socket: that one is not bound.
        Check.equal("closed socket's number reused", "true", c.value("reusedFound"));
        Check.equal("closed socket refused", "false", c.value("reused"));
        String reusedSs = String.valueOf(c.value("reusedSs"));
        Check.isTrue("the number's new socket stays unbound: " + reusedSs,
                !reusedSs.contains(":" + c.value("reusedPort")));
    }
}
