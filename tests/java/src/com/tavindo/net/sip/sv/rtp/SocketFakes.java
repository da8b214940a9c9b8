package com.tavindo.net.sip.sv.rtp;

import java.io.FileDescriptor;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.DatagramSocketImpl;
import java.net.InetAddress;
import java.net.NetworkInterface;
import java.net.SocketAddress;
import java.net.SocketImpl;

/** Objects with the field layouts of older JDKs' socket classes, for bindToDevice. */
final class SocketFakes {
    private SocketFakes() {}

    /** A datagram socket of the classic layout: no "delegate", an "impl". */
    static final class ClassicDatagram {
        DatagramSocketImpl impl;

        ClassicDatagram(FileDescriptor fd) {
            impl = fd == null ? null : new Impl(fd);
        }
    }

    /** A datagram socket with a "delegate" whose class lacks "dc". */
    static final class DelegatingDatagram {
        DatagramSocket delegate;

        DelegatingDatagram(DatagramSocket d) {
            delegate = d;
        }
    }

    /** A stream socket whose "impl" holds fd. */
    static final class Stream {
        SocketImpl impl;

        Stream(FileDescriptor fd) {
            impl = new StreamImpl(fd);
        }
    }

    /** A class with none of the fields. */
    static final class Bare {
    }

    @SuppressWarnings("deprecation")
    static final class Impl extends DatagramSocketImpl {
        Impl(FileDescriptor fd) {
            this.fd = fd;
        }

        @Override protected void create() {}
        @Override protected void bind(int lport, InetAddress laddr) {}
        @Override protected void send(DatagramPacket p) {}
        @Override protected int peek(InetAddress i) { return 0; }
        @Override protected int peekData(DatagramPacket p) { return 0; }
        @Override protected void receive(DatagramPacket p) {}
        @Deprecated @Override protected void setTTL(byte ttl) {}
        @Deprecated @Override protected byte getTTL() { return 0; }
        @Override protected void setTimeToLive(int ttl) {}
        @Override protected int getTimeToLive() { return 0; }
        @Override protected void join(InetAddress inetaddr) {}
        @Override protected void leave(InetAddress inetaddr) {}
        @Override protected void joinGroup(SocketAddress a, NetworkInterface n) {}
        @Override protected void leaveGroup(SocketAddress a, NetworkInterface n) {}
        @Override protected void close() {}
        @Override public void setOption(int optID, Object value) {}
        @Override public Object getOption(int optID) { return null; }
    }

    static final class StreamImpl extends SocketImpl {
        StreamImpl(FileDescriptor fd) {
            this.fd = fd;
        }

        @Override protected void create(boolean stream) {}
        @Override protected void connect(String host, int port) {}
        @Override protected void connect(InetAddress address, int port) {}
        @Override protected void connect(SocketAddress address, int timeout) {}
        @Override protected void bind(InetAddress host, int port) {}
        @Override protected void listen(int backlog) {}
        @Override protected void accept(SocketImpl s) {}
        @Override protected InputStream getInputStream() { return null; }
        @Override protected OutputStream getOutputStream() { return null; }
        @Override protected int available() { return 0; }
        @Override protected void close() {}
        @Override protected void sendUrgentData(int data) {}
        @Override public void setOption(int optID, Object value) {}
        @Override public Object getOption(int optID) { return null; }
    }
}
