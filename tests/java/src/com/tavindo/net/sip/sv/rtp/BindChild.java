package com.tavindo.net.sip.sv.rtp;

import java.io.FileDescriptor;
import java.lang.reflect.Field;
import java.net.DatagramSocket;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;

/**
 * Binds a real socket to "lo" through the classic datagram layout and the stream layout: the
 * socket's descriptor object is taken by reflection (the JVM runs with the packages opened).
 * Before those, binds a closed socket whose descriptor number another socket holds by now.
 */
public final class BindChild {
    private BindChild() {}

    public static void main(String[] args) throws Exception {
        RelayHarness.start(new Properties());
        // First: the classic layout below ends the probe for this JDK's own sockets.
        reusedNumber();
        try (DatagramSocket real = RelayHarness.udp(); DatagramSocket real2 = RelayHarness.udp()) {
            System.out.println("classic=" + RTPexJNI.bindToDeviceDatagram0(
                    new SocketFakes.ClassicDatagram(descriptor(real)), "lo"));
            System.out.println("classicPort=" + real.getLocalPort());
            System.out.println("stream=" + RTPexJNI.bindToDevice0(new SocketFakes.Stream(descriptor(real2)), "lo"));
            System.out.println("streamPort=" + real2.getLocalPort());
            System.out.println("ss=" + BindToDeviceTest.boundDevices());
        }
    }

    private static void reusedNumber() throws Exception {
        DatagramSocket closed = RelayHarness.udp();
        int number = fdNumber(closed);
        closed.close();
        // The next descriptor takes the lowest free number; sockets that miss it stay open meanwhile.
        List<DatagramSocket> opened = new ArrayList<>();
        DatagramSocket holder = null;
        for (int i = 0; i < 20 && holder == null; i++) {
            DatagramSocket s = RelayHarness.udp();
            opened.add(s);
            if (fdNumber(s) == number) {
                holder = s;
            }
        }
        System.out.println("reusedFound=" + (holder != null));
        if (holder != null) {
            System.out.println("reused=" + RTPexJNI.bindToDeviceDatagram0(closed, "lo"));
            System.out.println("reusedPort=" + holder.getLocalPort());
            System.out.println("reusedSs=" + BindToDeviceTest.boundDevices());
        }
        for (DatagramSocket s : opened) {
            s.close();
        }
    }

    private static int fdNumber(DatagramSocket s) throws Exception {
        Field fd = FileDescriptor.class.getDeclaredField("fd");
        fd.setAccessible(true);
        return fd.getInt(descriptor(s));
    }

    private static FileDescriptor descriptor(DatagramSocket s) throws Exception {
        Field d = DatagramSocket.class.getDeclaredField("delegate");
        d.setAccessible(true);
        Object delegate = d.get(s);
        Field dc = delegate.getClass().getDeclaredField("dc");
        dc.setAccessible(true);
        Object channel = dc.get(delegate);
        Field fd = channel.getClass().getDeclaredField("fd");
        fd.setAccessible(true);
        return (FileDescriptor) fd.get(channel);
    }
}
