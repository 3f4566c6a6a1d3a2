package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Base64;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import javax.activation.DataHandler;
import javax.mail.Address;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.Part;
import javax.mail.MessagingException;
import javax.mail.SendFailedException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.Transport;
import javax.mail.event.TransportEvent;
import javax.mail.event.TransportListener;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeBodyPart;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.MimeMultipart;
import javax.mail.internet.NewsAddress;
import javax.mail.util.ByteArrayDataSource;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * MimeMessages of every shape sent with Transport.send from one profile to others of the
 * same home, then read back from the recipients' Inboxes through the store: equal in
 * what a reader sees.
 */
class TransportSendingTest {

    private static final String SENDER = "sender";
    private static final byte[] PNG = Base64.getDecoder().decode(
            "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==");

    @BeforeAll
    static void profiles() throws Exception {
        MailHome.profile(SENDER);
        MailHome.profile("rcpt");
        MailHome.profile("copy");
        MailHome.profile("hidden");
    }

    private static InternetAddress address(String profile) throws Exception {
        return new InternetAddress(profile + "@example.org", "User " + profile, "UTF-8");
    }

    private static MimeMessage base(Session session, String subject) throws Exception {
        MimeMessage m = new MimeMessage(session);
        m.setFrom(address(SENDER));
        m.setRecipient(Message.RecipientType.TO, address("rcpt"));
        m.setSubject(subject, "UTF-8");
        return m;
    }

    /** Waits until the profile's Inbox holds a message of that subject and returns its view. */
    private static Received receive(String profile, String subject) throws Exception {
        MailHome.flush(SENDER);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (true) {
            Store store = MailHome.session(profile).getStore();
            store.connect();
            try {
                Folder inbox = store.getFolder("INBOX");
                inbox.open(Folder.READ_ONLY);
                try {
                    for (Message m : inbox.getMessages()) {
                        if (subject.equals(m.getSubject())) {
                            return new Received(m);
                        }
                    }
                } finally {
                    inbox.close(false);
                }
            } finally {
                store.close();
            }
            if (System.nanoTime() > deadline) {
                throw new AssertionError("'" + subject + "' did not reach " + profile);
            }
            Thread.sleep(100);
        }
    }

    /** What was read from a received message while its folder was open. */
    static final class Received {
        final String view;
        final String from;
        final String to;
        final String cc;
        final String bcc;
        final String replyTo;
        final String[] priority;

        Received(Message m) throws Exception {
            view = FlatView.of(m).toString();
            from = InternetAddress.toString(m.getFrom());
            to = InternetAddress.toString(m.getRecipients(Message.RecipientType.TO));
            cc = InternetAddress.toString(m.getRecipients(Message.RecipientType.CC));
            bcc = InternetAddress.toString(m.getRecipients(Message.RecipientType.BCC));
            replyTo = InternetAddress.toUnicodeString(m.getReplyTo());
            priority = m.getHeader("X-Priority");
        }
    }

    private static void sendAndCompare(MimeMessage message) throws Exception {
        message.saveChanges();
        String expected = FlatView.of(message).toString();
        Transport.send(message);
        Received got = receive("rcpt", message.getSubject());
        assertEquals(expected, got.view);
        assertEquals(InternetAddress.toString(message.getFrom()), got.from);
        assertEquals(InternetAddress.toString(message.getRecipients(Message.RecipientType.TO)), got.to);
    }

    @Test
    void plainTextWithNonAsciiSubjectCcReplyToAndPriority() throws Exception {
        Session session = MailHome.session(SENDER);
        MimeMessage m = base(session, "Grüße – plain 日本");
        m.addRecipient(Message.RecipientType.CC, address("copy"));
        m.setReplyTo(new Address[] {new InternetAddress("office@example.org", "Büro")});
        m.setHeader("X-Priority", "1 (Highest)");
        m.setHeader("X-Order-Ref", "A-17");
        m.setText("Hallo,\nwie geht's? — ünïcödé\n", "UTF-8");
        sendAndCompare(m);
        Received got = receive("rcpt", m.getSubject());
        assertEquals(InternetAddress.toString(m.getRecipients(Message.RecipientType.CC)), got.cc);
        // The Reply-To header as it arrived, its name included.
        assertEquals(InternetAddress.toUnicodeString(m.getReplyTo()), got.replyTo);
        assertArrayEquals(new String[] {"1"}, got.priority);
        Received copy = receive("copy", m.getSubject());
        assertEquals(got.view, copy.view);
    }

    @Test
    void importanceLowIsPriorityFive() throws Exception {
        MimeMessage m = base(MailHome.session(SENDER), "low importance");
        m.setHeader("Importance", "low");
        m.setText("not urgent");
        sendAndCompare(m);
        assertArrayEquals(new String[] {"5"}, receive("rcpt", "low importance").priority);
    }

    @Test
    void alternativePlainAndHtml() throws Exception {
        MimeMessage m = base(MailHome.session(SENDER), "alternative");
        MimeMultipart alt = new MimeMultipart("alternative");
        MimeBodyPart plain = new MimeBodyPart();
        plain.setText("plain version", "UTF-8");
        MimeBodyPart html = new MimeBodyPart();
        html.setText("<html><body><p>HTML version</p></body></html>", "UTF-8", "html");
        alt.addBodyPart(plain);
        alt.addBodyPart(html);
        m.setContent(alt);
        sendAndCompare(m);
    }

    @Test
    void relatedHtmlWithInlineImage() throws Exception {
        MimeMessage m = base(MailHome.session(SENDER), "related with inline image");
        MimeMultipart related = new MimeMultipart("related");
        MimeBodyPart html = new MimeBodyPart();
        html.setText("<html><body><img src=\"cid:logo@test\"></body></html>", "UTF-8", "html");
        MimeBodyPart image = new MimeBodyPart();
        image.setDataHandler(new DataHandler(new ByteArrayDataSource(PNG, "image/png")));
        image.setFileName("logo.png");
        image.setContentID("<logo@test>");
        image.setDisposition(MimeBodyPart.INLINE);
        related.addBodyPart(html);
        related.addBodyPart(image);
        m.setContent(related);
        sendAndCompare(m);
    }

    @Test
    void mixedWithAttachmentsFromFileStreamAndBytes() throws Exception {
        MimeMessage m = base(MailHome.session(SENDER), "mixed with attachments");

        MimeMultipart mixed = new MimeMultipart("mixed");
        MimeBodyPart text = new MimeBodyPart();
        text.setText("three attachments", "UTF-8");
        mixed.addBodyPart(text);
        Path file = Files.createTempFile(MailHome.TEMP, "figures", ".csv");
        Files.write(file, "q,v\nQ1,120\n".getBytes(StandardCharsets.UTF_8));
        MimeBodyPart fromFile = new MimeBodyPart();
        fromFile.attachFile(file.toFile(), "text/csv", null);
        fromFile.setFileName("figures.csv");
        mixed.addBodyPart(fromFile);
        // A plain-text attachment: its content is a String (FlatView checks), as JavaMail gives it.
        MimeBodyPart notes = new MimeBodyPart();
        notes.setText("Grüße aus Köln\n", "UTF-8");
        notes.setFileName("notes.txt");
        notes.setDisposition(Part.ATTACHMENT);
        mixed.addBodyPart(notes);
        MimeBodyPart fromStream = new MimeBodyPart();
        fromStream.setDataHandler(new DataHandler(new ByteArrayDataSource(
                new java.io.ByteArrayInputStream(new byte[] {0, 1, 2, (byte) 0xff}), "application/octet-stream")));
        fromStream.setFileName("Übersicht März.bin");
        mixed.addBodyPart(fromStream);
        byte[] big = new byte[300_000];
        new java.util.Random(7).nextBytes(big);
        MimeBodyPart fromBytes = new MimeBodyPart();
        fromBytes.setDataHandler(new DataHandler(new ByteArrayDataSource(big, "application/pdf")));
        fromBytes.setFileName("big.pdf");
        mixed.addBodyPart(fromBytes);
        m.setContent(mixed);
        sendAndCompare(m);
        Files.delete(file);
    }

    @Test
    void htmlWithoutACharsetArrivesAsItsBytesSay() throws Exception {
        // Bytes of a data source whose type names no charset (as a program that builds the
        // HTML into a ByteArrayDataSource sends them), and a String set as text/html.
        MimeMessage m = base(MailHome.session(SENDER), "html from bytes");
        m.setDataHandler(new DataHandler(new ByteArrayDataSource(
                "<p>Grüße aus Köln</p>".getBytes(StandardCharsets.UTF_8), "text/html")));
        Transport.send(m);
        assertEquals("plain=null\nhtml=<p>Grüße aus Köln</p>\nattachments=[]\nmessages=[]",
                receive("rcpt", "html from bytes").view);
        MimeMessage s = base(MailHome.session(SENDER), "html from a string");
        s.setContent("<p>Grüße aus Köln</p>", "text/html");
        Transport.send(s);
        assertEquals("plain=null\nhtml=<p>Grüße aus Köln</p>\nattachments=[]\nmessages=[]",
                receive("rcpt", "html from a string").view);
    }

    @Test
    void nestedMessageArrivesAsAnAttachedMessage() throws Exception {
        Session session = MailHome.session(SENDER);
        MimeMessage inner = new MimeMessage(session);
        inner.setFrom(new InternetAddress("someone@example.net"));
        inner.setSubject("the forwarded one");
        inner.setText("inner text");
        inner.saveChanges();
        MimeMessage m = base(session, "forwarding a message");
        MimeMultipart mixed = new MimeMultipart("mixed");
        MimeBodyPart text = new MimeBodyPart();
        text.setText("see attached", "UTF-8");
        MimeBodyPart attached = new MimeBodyPart();
        attached.setContent(inner, "message/rfc822");
        attached.setDisposition(MimeBodyPart.ATTACHMENT);
        mixed.addBodyPart(text);
        mixed.addBodyPart(attached);
        m.setContent(mixed);
        m.saveChanges();
        Transport.send(m);
        Received got = receive("rcpt", "forwarding a message");
        // The composition natives attach files only: the attached message travels as its
        // RFC 822 text, in a file named after its subject.
        java.io.ByteArrayOutputStream rfc822 = new java.io.ByteArrayOutputStream();
        inner.writeTo(rfc822);
        byte[] bytes = rfc822.toByteArray();
        assertEquals("plain=see attached\nhtml=null\nattachments=[the forwarded one.eml application/octet-stream cid= "
                + bytes.length + " bytes sha256=" + Base64.getEncoder().encodeToString(
                        java.security.MessageDigest.getInstance("SHA-256").digest(bytes))
                + "]\nmessages=[]", got.view);
    }

    @Test
    void blindRecipientsGivenOnlyAsEnvelopeGetTheMessageAndAppearNowhere() throws Exception {
        MimeMessage m = base(MailHome.session(SENDER), "with a blind copy");
        m.setText("bcc test");
        m.saveChanges();
        Transport.send(m, new Address[] {address("rcpt"), address("hidden")});
        Received hidden = receive("hidden", "with a blind copy");
        Received rcpt = receive("rcpt", "with a blind copy");
        assertEquals(InternetAddress.toString(m.getRecipients(Message.RecipientType.TO)), hidden.to);
        assertEquals(rcpt.view, hidden.view);
        assertNull(rcpt.bcc);
    }

    @Test
    void listenersHearDeliveredAndNotDeliveredAndNoAttachmentFileIsLeft() throws Exception {
        Session session = MailHome.session(SENDER);
        Transport transport = session.getTransport();
        List<String> heard = Collections.synchronizedList(new ArrayList<>());
        transport.addTransportListener(new TransportListener() {
            @Override
            public void messageDelivered(TransportEvent e) {
                heard.add("delivered " + InternetAddress.toString(e.getValidSentAddresses()));
            }

            @Override
            public void messageNotDelivered(TransportEvent e) {
                heard.add("not delivered, invalid " + e.getInvalidAddresses().length);
            }

            @Override
            public void messagePartiallyDelivered(TransportEvent e) {
                heard.add("partially");
            }
        });
        transport.connect();
        try {
            MimeMessage m = base(session, "heard by listeners");
            MimeMultipart mixed = new MimeMultipart();
            MimeBodyPart text = new MimeBodyPart();
            text.setText("x");
            MimeBodyPart data = new MimeBodyPart();
            data.setDataHandler(new DataHandler(new ByteArrayDataSource(new byte[] {1, 2, 3}, "application/zip")));
            data.setFileName("a.zip");
            mixed.addBodyPart(text);
            mixed.addBodyPart(data);
            m.setContent(mixed);
            m.saveChanges();
            transport.sendMessage(m, m.getAllRecipients());
            SendFailedException failed = assertThrows(SendFailedException.class,
                    () -> transport.sendMessage(m, new Address[] {new NewsAddress("comp.mail.misc")}));
            assertEquals(1, failed.getInvalidAddresses().length);
        } finally {
            transport.close();
        }
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (heard.size() < 2 && System.nanoTime() < deadline) {
            Thread.sleep(20);
        }
        assertEquals("[delivered User rcpt <rcpt@example.org>, not delivered, invalid 1]", heard.toString());
        try (Stream<Path> left = Files.list(MailHome.TEMP)) {
            assertEquals("[]", left.filter(p -> p.getFileName().toString().startsWith("mapisend"))
                    .map(Path::toString).collect(java.util.stream.Collectors.toList()).toString());
        }
        assertNotNull(receive("rcpt", "heard by listeners"));
    }

    @Test
    void anAttachmentThatCannotBeReadFailsTheSendAndLeavesNoFileOrQueuedMessage() throws Exception {
        Session session = MailHome.session(SENDER);
        MimeMessage m = base(session, "unreadable attachment");
        MimeMultipart mixed = new MimeMultipart();
        MimeBodyPart text = new MimeBodyPart();
        text.setText("the attachment's stream fails");
        MimeBodyPart broken = new MimeBodyPart();
        broken.setDataHandler(new DataHandler(new javax.activation.DataSource() {
            @Override
            public java.io.InputStream getInputStream() throws java.io.IOException {
                return new java.io.InputStream() {
                    private int left = 100_000;

                    @Override
                    public int read() throws java.io.IOException {
                        if (left-- <= 0) {
                            throw new java.io.IOException("disk gone");
                        }
                        return 'x';
                    }
                };
            }

            @Override
            public java.io.OutputStream getOutputStream() {
                throw new UnsupportedOperationException();
            }

            @Override
            public String getContentType() {
                return "application/octet-stream";
            }

            @Override
            public String getName() {
                return "broken.bin";
            }
        }));
        broken.setFileName("broken.bin");
        mixed.addBodyPart(text);
        mixed.addBodyPart(broken);
        m.setContent(mixed);
        List<String> heard = Collections.synchronizedList(new ArrayList<>());
        Transport transport = session.getTransport();
        transport.addTransportListener(new TransportListener() {
            @Override
            public void messageDelivered(TransportEvent e) {
                heard.add("delivered");
            }

            @Override
            public void messageNotDelivered(TransportEvent e) {
                heard.add("not delivered, unsent " + e.getValidUnsentAddresses().length);
            }

            @Override
            public void messagePartiallyDelivered(TransportEvent e) {
                heard.add("partially");
            }
        });
        transport.connect(null, SENDER, "");
        try {
            SendFailedException e = assertThrows(SendFailedException.class,
                    () -> transport.sendMessage(m, m.getAllRecipients()));
            assertTrue(e.getMessage().contains("disk gone"), e.getMessage());
            assertEquals(1, e.getValidUnsentAddresses().length);
        } finally {
            transport.close();
        }
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (heard.isEmpty() && System.nanoTime() < deadline) {
            Thread.sleep(20);
        }
        assertEquals("[not delivered, unsent 1]", heard.toString());
        try (Stream<Path> left = Files.list(MailHome.TEMP)) {
            assertEquals(0, left.filter(p -> p.getFileName().toString().startsWith("mapisend")).count());
        }
        // Nothing was queued: the spool has nothing of it to send.
        assertTrue(!MailHome.tool("spool", "list", SENDER).contains("unreadable attachment"),
                MailHome.tool("spool", "list", SENDER));
    }

    @Test
    void transportSendWithTheProfileAsUser() throws Exception {
        Session session = MailHome.session("nobody-configured");
        MimeMessage m = base(session, "sent with user and password");
        m.setText("Transport.send(message, user, password)");
        Transport.send(m, SENDER, "");
        assertEquals("plain=Transport.send(message, user, password)\nhtml=null\nattachments=[]\nmessages=[]",
                receive("rcpt", "sent with user and password").view);
    }

    /**
     * {@code Transport.send} takes the transport of the recipients' address type: a program that names
     * {@code mapi-transport} for Internet addresses sends through MAPI; one that does not (an SMTP program with the
     * jar on its class path) keeps JavaMail's SMTP transport.
     */
    @Test
    void transportSendGoesThroughMapiOnlyForAProgramThatAsksForIt() throws Exception {
        java.util.Properties smtp = new java.util.Properties();
        smtp.put("mail.smtp.host", "127.0.0.1");
        assertEquals("com.sun.mail.smtp.SMTPTransport", Session.getInstance(smtp)
                .getTransport(new javax.mail.internet.InternetAddress("x@example.org")).getClass().getName());
        java.util.Properties props = new java.util.Properties();
        props.put("mail.store.protocol", "mapi");
        props.put("mail.transport.protocol.rfc822", "mapi-transport");
        props.put("mail.mapi.user", SENDER);
        props.put("mail.mapi.tempdir", MailHome.TEMP.toString());
        Session session = Session.getInstance(props);
        MimeMessage m = base(session, "sent by a program naming mapi");
        m.setText("Transport.send under mail.transport.protocol.rfc822=mapi-transport");
        Transport.send(m);
        assertEquals("plain=Transport.send under mail.transport.protocol.rfc822=mapi-transport\nhtml=null\n"
                + "attachments=[]\nmessages=[]",
                receive("rcpt", "sent by a program naming mapi").view);
        assertEquals("mapi-transport", session.getTransport(m.getAllRecipients()[0]).getURLName().getProtocol());
    }

    @Test
    void aMessageNotYetSavedIsSentByItsContentObjects() throws Exception {
        Session session = MailHome.session(SENDER);
        MimeMessage m = base(session, "not saved before sendMessage");
        MimeMultipart alt = new MimeMultipart("alternative");
        MimeBodyPart plain = new MimeBodyPart();
        plain.setText("plain, unsaved", "UTF-8");
        MimeBodyPart html = new MimeBodyPart();
        html.setText("<p>html, unsaved</p>", "UTF-8", "html");
        alt.addBodyPart(plain);
        alt.addBodyPart(html);
        m.setContent(alt);
        Transport transport = session.getTransport();
        transport.connect();
        try {
            transport.sendMessage(m, m.getAllRecipients());
        } finally {
            transport.close();
        }
        assertEquals("plain=plain, unsaved\nhtml=<p>html, unsaved</p>\nattachments=[]\nmessages=[]",
                receive("rcpt", "not saved before sendMessage").view);
    }

    @Test
    void everyEventReachesTheListenersThoughTheTransportClosesRightAfter() throws Exception {
        // javax.mail 1.6's own event queue drops events queued just before close (its thread
        // may start after close took the queue away); the transport's events must all arrive.
        Session session = MailHome.session(SENDER);
        List<String> heard = Collections.synchronizedList(new ArrayList<>());
        MimeMessage m = base(session, "never sent");
        m.setText("x");
        for (int i = 0; i < 25; i++) {
            Transport transport = session.getTransport();
            final int round = i;
            transport.addTransportListener(new TransportListener() {
                @Override
                public void messageDelivered(TransportEvent e) {
                    heard.add("delivered " + round);
                }

                @Override
                public void messageNotDelivered(TransportEvent e) {
                    heard.add("not delivered " + round);
                }

                @Override
                public void messagePartiallyDelivered(TransportEvent e) {
                    heard.add("partially " + round);
                }
            });
            transport.connect();
            try {
                assertThrows(SendFailedException.class,
                        () -> transport.sendMessage(m, new Address[] {new NewsAddress("comp.mail.misc")}));
            } finally {
                transport.close();
            }
        }
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (heard.size() < 25 && System.nanoTime() < deadline) {
            Thread.sleep(20);
        }
        List<String> sorted = new ArrayList<>(heard);
        sorted.sort(java.util.Comparator.comparingInt(h -> Integer.parseInt(h.replaceAll("\\D", ""))));
        List<String> expected = new ArrayList<>();
        for (int i = 0; i < 25; i++) {
            expected.add("not delivered " + i);
        }
        assertEquals(expected, sorted);
    }

    @Test
    void sendingWithoutConnectingIsRefused() throws Exception {
        Transport transport = MailHome.session(SENDER).getTransport();
        MimeMessage m = base(MailHome.session(SENDER), "never");
        m.setText("x");
        assertThrows(IllegalStateException.class, () -> transport.sendMessage(m, m.getAllRecipients()));
    }

    @Test
    void anUnknownSendingProfileFailsToConnect() throws Exception {
        Transport transport = MailHome.session(SENDER).getTransport();
        MessagingException e = assertThrows(MessagingException.class,
                () -> transport.connect(null, "no-such-sender", ""));
        assertTrue(e.getMessage().contains("'no-such-sender'"), e.getMessage());
        assertTrue(!transport.isConnected());
        assertTrue(new File(MailHome.TEMP.toString()).isDirectory());
    }
}
