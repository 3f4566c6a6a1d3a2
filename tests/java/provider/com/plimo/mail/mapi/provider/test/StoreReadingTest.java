package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import javax.mail.Address;
import javax.mail.AuthenticationFailedException;
import javax.mail.BodyPart;
import javax.mail.FetchProfile;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.FolderNotFoundException;
import javax.mail.Message;
import javax.mail.MessageRemovedException;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.Provider;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.event.MessageCountAdapter;
import javax.mail.event.MessageCountEvent;
import javax.mail.internet.ContentType;
import javax.mail.search.FromStringTerm;
import javax.mail.search.HeaderTerm;
import javax.mail.search.OrTerm;
import javax.mail.search.RecipientStringTerm;
import javax.mail.search.SearchTerm;
import javax.mail.search.StringTerm;
import javax.mail.search.SubjectTerm;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeMessage;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A profile's Inbox, filled by tolvane-mapi deliver from the sample messages, read
 * through javax.mail alone as from an IMAP store and compared with what JavaMail's own
 * parser reads from the same files.
 */
class StoreReadingTest {

    private static final String PROFILE = "reader";
    private static Path[] samples;

    @BeforeAll
    static void deliverSamples() throws Exception {
        MailHome.profile(PROFILE);
        samples = MailHome.samples();
        MailHome.deliver(PROFILE, samples);
    }

    private static MimeMessage parse(Path file) throws Exception {
        try (InputStream in = Files.newInputStream(file)) {
            return new MimeMessage(Session.getInstance(new Properties()), in);
        }
    }

    @Test
    void sessionFindsTheStoreAndTransportOfProtocolMapiByProperties() throws Exception {
        Session session = MailHome.session(PROFILE);
        Provider store = session.getProvider("mapi");
        assertEquals(Provider.Type.STORE, store.getType());
        assertEquals("com.plimo.mail.mapi.provider.MAPIStore", store.getClassName());
        Provider transport = session.getProvider("mapi-transport");
        assertEquals(Provider.Type.TRANSPORT, transport.getType());
        Store s = session.getStore();
        assertEquals("com.plimo.mail.mapi.provider.MAPIStore", s.getClass().getName());
        assertEquals("com.plimo.mail.mapi.provider.MAPITransport", session.getTransport().getClass().getName());
        // Internet addresses go through the MAPI transport only when the program says so.
        assertEquals("com.plimo.mail.mapi.provider.MAPITransport",
                session.getTransport(new InternetAddress("x@example.org")).getClass().getName());
        assertEquals("com.sun.mail.smtp.SMTPTransport",
                Session.getInstance(new Properties()).getTransport(new InternetAddress("x@example.org"))
                        .getClass().getName());
    }

    @Test
    void everyMessagePartAndAttachmentReadsAsJavaMailParsesTheSourceFile() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            assertEquals(samples.length, inbox.getMessageCount());
            Message[] messages = inbox.getMessages();
            inbox.fetch(messages, new FetchProfile());
            for (int i = 0; i < samples.length; i++) {
                MimeMessage expected = parse(samples[i]);
                Message actual = messages[i];
                String what = samples[i].getFileName().toString();
                assertEquals(i + 1, actual.getMessageNumber(), what);
                assertEquals(expected.getSubject(), actual.getSubject(), what);
                assertAddresses(expected.getFrom(), actual.getFrom(), what + " From");
                // The headers are those that arrived, a report's included.
                assertAddresses(expected.getRecipients(Message.RecipientType.TO),
                        actual.getRecipients(Message.RecipientType.TO), what + " To");
                assertAddresses(expected.getReplyTo(), actual.getReplyTo(), what + " Reply-To");
                assertAddresses(expected.getRecipients(Message.RecipientType.BCC),
                        actual.getRecipients(Message.RecipientType.BCC), what + " Bcc");
                assertAddresses(expected.getRecipients(Message.RecipientType.CC),
                        actual.getRecipients(Message.RecipientType.CC), what + " Cc");
                assertEquals(expected.getSentDate(), actual.getSentDate(), what + " Date");
                assertNotNull(actual.getReceivedDate(), what + " received");
                FlatView source = FlatView.of(expected);
                FlatView read = FlatView.of(actual);
                if (expected.isMimeType("multipart/report")) {
                    // The store keeps a report's own text in place of the reporting server's;
                    // the status part and the returned message are kept as they arrived.
                    assertEquals(source.attachedMessages, read.attachedMessages, what);
                    assertEquals(source.attachments.toString(), read.attachments.toString(), what);
                } else {
                    assertEquals(source.toString(), read.toString(), what);
                    // The part tree as it arrived: multipart kinds, types, charsets, dispositions.
                    // MAPI keeps one code page for a message's bodies: when its plain and HTML
                    // bodies came in different charsets, one of them comes back in another.
                    String arrived = tree(expected);
                    String given = tree(actual);
                    if (charsets(arrived) > 1) {
                        arrived = arrived.replaceAll(CHARSET, "");
                        given = given.replaceAll(CHARSET, "");
                    }
                    assertEquals(arrived, given, what + " structure");
                }
            }
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void theAuthorIsTheFromAddressAndTheSenderOnlyItsSender() throws Exception {
        // A secretary sends for her manager (From: the manager, Sender: the secretary), and a
        // message without Reply-To: getFrom, the Reply-To fallback and a FromStringTerm search
        // follow the author, as JavaMail reading the file does.
        Path file = Files.createTempFile(MailHome.TEMP, "on-behalf", ".eml");
        Files.write(file, ("From: Manager Mann <manager@example.org>\r\nSender: Sue Secretary <sue@example.org>\r\n"
                + "To: team@example.org\r\nSubject: Sent on behalf\r\nDate: Tue, 08 Dec 2026 09:00:00 +0000\r\n"
                + "Message-ID: <behalf@example.org>\r\n\r\nMeeting at ten.\r\n").getBytes("US-ASCII"));
        MailHome.profile("on-behalf");
        MailHome.deliver("on-behalf", MailHome.MAIL.resolve("plain.eml"), file);
        MimeMessage expected = parse(file);
        Store store = MailHome.session("on-behalf").getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            Message m = inbox.getMessage(inbox.getMessageCount());
            assertAddresses(expected.getFrom(), m.getFrom(), "From");
            assertAddresses(expected.getReplyTo(), m.getReplyTo(), "Reply-To");
            assertArrayEquals(expected.getHeader("Sender"), m.getHeader("Sender"));
            assertEquals(1, inbox.search(new javax.mail.search.FromStringTerm("manager@example.org")).length);
            assertEquals(0, inbox.search(new javax.mail.search.FromStringTerm("sue@example.org")).length);
            // A message its author sent has no separate sender.
            Message own = inbox.getMessage(1);
            assertEquals(null, own.getHeader("Sender"));
            inbox.close(false);
        } finally {
            store.close();
        }
        Files.delete(file);
    }

    @Test
    void replyToAndPriorityReadAsHeaders() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("inbox");
            inbox.open(Folder.READ_ONLY);
            // Every header of every sample as JavaMail reads it from the file, in order.
            for (int i = 0; i < samples.length; i++) {
                List<String> expected = new ArrayList<>();
                for (java.util.Enumeration<javax.mail.Header> e = parse(samples[i]).getAllHeaders(); e.hasMoreElements();) {
                    javax.mail.Header h = e.nextElement();
                    expected.add(h.getName() + ": " + h.getValue());
                }
                List<String> actual = new ArrayList<>();
                for (java.util.Enumeration<javax.mail.Header> e = inbox.getMessage(i + 1).getAllHeaders();
                        e.hasMoreElements();) {
                    javax.mail.Header h = e.nextElement();
                    actual.add(h.getName() + ": " + h.getValue());
                }
                assertEquals(expected, actual, samples[i].getFileName().toString());
            }
            // Sizes as the store gives them, so that size searches find messages.
            int largest = 0;
            for (Message m : inbox.getMessages()) {
                assertTrue(m.getSize() > 0, "size of message " + m.getMessageNumber());
                largest = Math.max(largest, m.getSize());
            }
            assertEquals(1, inbox.search(new javax.mail.search.SizeTerm(javax.mail.search.ComparisonTerm.GE, largest)).length);
            assertEquals(samples.length,
                    inbox.search(new javax.mail.search.SizeTerm(javax.mail.search.ComparisonTerm.GT, 0)).length);
            for (int i = 0; i < samples.length; i++) {
                if (!samples[i].getFileName().toString().equals("plain.eml")) {
                    continue;
                }
                Message m = inbox.getMessage(i + 1);
                // The store keeps the Reply-To addresses without their names.
                assertEquals(((InternetAddress) parse(samples[i]).getReplyTo()[0]).getAddress().toLowerCase(),
                        ((InternetAddress) m.getReplyTo()[0]).getAddress().toLowerCase());
                assertArrayEquals(parse(samples[i]).getHeader("X-Priority"), m.getHeader("X-Priority"));
                assertEquals("1 (Highest)", m.getHeader("X-Priority")[0]);
                assertTrue(m.isMimeType("text/plain"), m.getContentType());
                assertEquals(FlatView.normalise((String) parse(samples[i]).getContent()),
                        FlatView.normalise((String) m.getContent()));
            }
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void writeToGivesRfc822TextThatJavaMailReadsBackTheSame() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            for (int i = 0; i < samples.length; i++) {
                Message m = inbox.getMessage(i + 1);
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                m.writeTo(out);
                MimeMessage reread = new MimeMessage(Session.getInstance(new Properties()),
                        new ByteArrayInputStream(out.toByteArray()));
                String what = samples[i].getFileName().toString();
                assertEquals(m.getSubject(), reread.getSubject(), what);
                assertAddresses(m.getFrom(), reread.getFrom(), what);
                FlatView original = FlatView.of(m);
                FlatView copy = FlatView.of(reread);
                assertEquals(original.plain, copy.plain, what);
                assertEquals(original.html, copy.html, what);
                assertEquals(original.attachments.size() + original.attachedMessages.size(),
                        copy.attachments.size() + copy.attachedMessages.size(), what);
            }
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void severalThreadsReadingOneFolderReadTheSame() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            List<Future<String>> runs = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                final int offset = t;
                runs.add(pool.submit(() -> {
                    int count = inbox.getMessageCount();
                    String[] seen = new String[count];
                    for (int k = 0; k < count; k++) {
                        int n = (k + offset) % count + 1;
                        Message m = inbox.getMessage(n);
                        seen[n - 1] = n + " " + m.getSubject() + "\n" + FlatView.of(m);
                    }
                    return String.join("\n", seen);
                }));
            }
            List<String> first = Arrays.asList(runs.get(0).get().split("\n"));
            for (Future<String> run : runs) {
                List<String> other = Arrays.asList(run.get().split("\n"));
                for (int k = 0; k < Math.max(first.size(), other.size()); k++) {
                    assertEquals(k < first.size() ? first.get(k) : null, k < other.size() ? other.get(k) : null);
                }
            }
            inbox.close(false);
        } finally {
            pool.shutdownNow();
            store.close();
        }
    }

    @Test
    void aClosedFoldersMessagesRaiseMessagingException() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            Message m = inbox.getMessage(1);
            m.getContent();
            // The parts as the natives read them read from the store until the folder closes.
            Object content = MailHome.natives(m).getContent();
            inbox.close(false);
            assertFalse(inbox.isOpen());
            assertEquals("The folder of this message is closed",
                    assertThrows(MessagingException.class, m::getSubject).getMessage());
            assertThrows(MessagingException.class, m::getContent);
            assertThrows(MessagingException.class, () -> ((Multipart) content).getBodyPart(0).getInputStream());
            assertThrows(IllegalStateException.class, () -> inbox.getMessage(1));
        } finally {
            store.close();
        }
    }

    @Test
    void aClosedStoresFoldersAreClosedAndTheirMessagesRaiseMessagingException() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        Message m = inbox.getMessage(1);
        store.close();
        assertFalse(store.isConnected());
        assertFalse(inbox.isOpen());
        assertThrows(MessagingException.class, m::getSubject);
    }

    @Test
    void onlyTheInboxIsReachable() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder top = store.getDefaultFolder();
            Folder[] listed = top.list();
            assertEquals(1, listed.length);
            assertEquals("INBOX", listed[0].getName());
            Folder other = store.getFolder("Archive");
            assertFalse(other.exists());
            assertThrows(FolderNotFoundException.class, () -> other.open(Folder.READ_ONLY));
        } finally {
            store.close();
        }
    }

    @Test
    void anUnknownProfileFailsToConnectNamingIt() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        AuthenticationFailedException e = assertThrows(AuthenticationFailedException.class,
                () -> store.connect(null, "nobody-here", ""));
        assertTrue(e.getMessage().contains("'nobody-here'"), e.getMessage());
        // The native library's own failure, raised as this API's MessagingException, is the cause.
        assertTrue(e.getNextException() instanceof MessagingException, String.valueOf(e.getNextException()));
        assertFalse(store.isConnected());
    }

    @Test
    void expungeDeletesTheFlaggedMessagesAndCloseWithExpungeToo() throws Exception {
        MailHome.profile("expunger");
        Path[] three = Arrays.copyOf(samples, 3);
        MailHome.deliver("expunger", three);
        Store store = MailHome.session("expunger").getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_WRITE);
            List<Message> heard = new ArrayList<>();
            inbox.addMessageCountListener(new MessageCountAdapter() {
                @Override
                public void messagesRemoved(MessageCountEvent e) {
                    heard.addAll(Arrays.asList(e.getMessages()));
                }
            });
            Message first = inbox.getMessage(1);
            Message second = inbox.getMessage(2);
            Message third = inbox.getMessage(3);
            second.setFlag(Flags.Flag.DELETED, true);
            assertTrue(second.isSet(Flags.Flag.DELETED));
            assertArrayEquals(new Message[] {second}, inbox.expunge());
            // The expunged message says so; the others move up and stay usable.
            assertTrue(second.isExpunged());
            assertThrows(MessageRemovedException.class, second::getSubject);
            assertThrows(MessageRemovedException.class, second::getContent);
            assertEquals(2, inbox.getMessageCount());
            assertSame(first, inbox.getMessage(1));
            assertSame(third, inbox.getMessage(2));
            assertEquals(2, third.getMessageNumber());
            assertEquals(parse(three[2]).getSubject(), third.getSubject());
            assertNotNull(third.getContent());
            assertFalse(first.isSet(Flags.Flag.DELETED));
            for (int i = 0; i < 50 && heard.isEmpty(); i++) {
                Thread.sleep(100);  // listeners hear on the event thread
            }
            assertEquals(Arrays.asList(second), heard);

            inbox.getMessage(1).setFlag(Flags.Flag.DELETED, true);
            inbox.close(true);
            inbox.open(Folder.READ_ONLY);
            assertEquals(1, inbox.getMessageCount());
            assertEquals(parse(three[2]).getSubject(), inbox.getMessage(1).getSubject());
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void searchesFindWhatTheyFindInTheFiles() throws Exception {
        // Terms made from the samples themselves: each sample's sender, a word of its
        // subject, its first To address and a header; each search must find exactly the
        // messages whose files the same term matches.
        List<SearchTerm> terms = new ArrayList<>();
        for (Path sample : samples) {
            MimeMessage m = parse(sample);
            Address[] from = m.getFrom();
            if (from != null) {
                String address = ((InternetAddress) from[0]).getAddress();
                terms.add(new FromStringTerm(address.substring(0, address.indexOf('@') + 1)));
            }
            String subject = m.getSubject();
            if (subject != null && subject.contains(" ")) {
                terms.add(new SubjectTerm(subject.substring(subject.lastIndexOf(' ') + 1)));
            }
            Address[] to = m.getRecipients(Message.RecipientType.TO);
            if (to != null) {
                terms.add(new RecipientStringTerm(Message.RecipientType.TO, ((InternetAddress) to[0]).getAddress()));
            }
        }
        terms.add(new HeaderTerm("MIME-Version", "1.0"));
        terms.add(new OrTerm(new FromStringTerm("Sender"), new HeaderTerm("X-Priority", "1")));
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            for (SearchTerm term : terms) {
                List<Integer> expected = new ArrayList<>();
                for (int i = 0; i < samples.length; i++) {
                    if (term.match(parse(samples[i]))) {
                        expected.add(i + 1);
                    }
                }
                List<Integer> found = new ArrayList<>();
                for (Message m : inbox.search(term)) {
                    found.add(m.getMessageNumber());
                }
                assertEquals(expected, found, describeTerm(term));
            }
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    private static String describeTerm(SearchTerm term) {
        if (term instanceof StringTerm) {
            return term.getClass().getSimpleName() + " " + ((StringTerm) term).getPattern();
        }
        return term.getClass().getSimpleName();
    }

    @Test
    void seenIsTheStoredReadStateAndAnOpenFolderSeesNewMail() throws Exception {
        MailHome.profile("seer");
        MailHome.deliver("seer", samples[0], samples[1]);
        Store store = MailHome.session("seer").getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_WRITE);
            assertEquals(2, inbox.getUnreadMessageCount());
            Message first = inbox.getMessage(1);
            Message second = inbox.getMessage(2);
            // Headers, size and flags leave a message unread; its content marks it read.
            first.getSubject();
            first.getAllHeaders();
            first.getSize();
            assertFalse(first.isSet(Flags.Flag.SEEN));
            first.getContent();
            assertTrue(first.isSet(Flags.Flag.SEEN));
            second.getContent();
            second.setFlag(Flags.Flag.SEEN, false);
            inbox.close(false);

            inbox.open(Folder.READ_ONLY);
            assertTrue(inbox.getMessage(1).isSet(Flags.Flag.SEEN));
            assertFalse(inbox.getMessage(2).isSet(Flags.Flag.SEEN));
            inbox.getMessage(2).getContent();  // read-only: stays unread
            List<Message> added = new ArrayList<>();
            inbox.addMessageCountListener(new MessageCountAdapter() {
                @Override
                public void messagesAdded(MessageCountEvent e) {
                    synchronized (added) {
                        added.addAll(Arrays.asList(e.getMessages()));
                    }
                }
            });
            MailHome.deliver("seer", samples[2]);
            for (int i = 0; i < 50 && inbox.getMessageCount() < 3; i++) {
                Thread.sleep(200);
            }
            assertEquals(3, inbox.getMessageCount());
            assertTrue(inbox.hasNewMessages());
            Message arrived = inbox.getMessage(3);
            assertEquals(parse(samples[2]).getSubject(), arrived.getSubject());
            assertFalse(arrived.isSet(Flags.Flag.SEEN));
            assertEquals(parse(samples[0]).getSubject(), inbox.getMessage(1).getSubject());
            for (int i = 0; i < 50; i++) {
                synchronized (added) {
                    if (!added.isEmpty()) {
                        break;
                    }
                }
                Thread.sleep(100);  // listeners hear on the event thread
            }
            synchronized (added) {
                assertEquals(Arrays.asList(arrived), added);
            }
            inbox.close(false);
            inbox.open(Folder.READ_ONLY);
            assertFalse(inbox.getMessage(2).isSet(Flags.Flag.SEEN));
            // A MimeMessage: copied as JavaMail copies one, through its RFC 822 text.
            MimeMessage copy = new MimeMessage((MimeMessage) inbox.getMessage(1));
            MimeMessage expected = parse(samples[0]);
            assertEquals(expected.getSubject(), copy.getSubject());
            assertEquals(expected.getMessageID(), copy.getMessageID());
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void aWalkLetsGoOfTheAttachmentDataOfMessagesNobodyHolds() throws Exception {
        MailHome.profile("walker");
        Path attachments = null;
        Path attached = null;
        for (Path p : samples) {
            if (p.getFileName().toString().equals("attachments.eml")) {
                attachments = p;
            }
            if (p.getFileName().toString().equals("attached-message.eml")) {
                attached = p;
            }
        }
        Path[] copies = new Path[61];
        Arrays.fill(copies, attached);
        copies[60] = attachments;
        MailHome.deliver("walker", copies);
        Store store = MailHome.session("walker").getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            // An attachment's data comes straight from the store: no file is left behind.
            long before = partFiles();
            // The natives' content model, whose data the folder must let go of.
            Multipart plain = (Multipart) MailHome.natives(inbox.getMessage(61)).getContent();
            byte[] expected = null;
            for (int i = 0; i < plain.getCount(); i++) {
                BodyPart part = plain.getBodyPart(i);
                if (Part.ATTACHMENT.equalsIgnoreCase(part.getDisposition())) {
                    try (InputStream in = part.getInputStream()) {
                        expected = MailHome.readAll(in);
                    }
                    ByteArrayOutputStream again = new ByteArrayOutputStream();
                    part.writeTo(again);
                    assertArrayEquals(expected, again.toByteArray(), "a second read of " + part.getFileName());
                }
            }
            assertTrue(expected != null && expected.length > 0, "attachments.eml has attachments");
            assertEquals(before, partFiles(), "part files made by reading attachments");

            // An attached message's data is a .msg file the store writes: one file per part.
            List<Message> held = new ArrayList<>();
            for (int n = 1; n <= 60; n++) {
                held.add(inbox.getMessage(n));
                Multipart parts = (Multipart) MailHome.natives(held.get(n - 1)).getContent();
                BodyPart msg = null;
                for (int i = 0; i < parts.getCount(); i++) {
                    if (parts.getBodyPart(i).isMimeType("message/rfc822")) {
                        msg = parts.getBodyPart(i);
                    }
                }
                try (InputStream in = msg.getInputStream()) {
                    assertTrue(MailHome.readAll(in).length > 0);
                }
            }
            System.gc();
            inbox.getMessage(1);
            assertTrue(partFiles() >= before + 60, partFiles() + " part files while the messages are held");
            held.clear();
            // The messages are unreachable now, and the folder lets go of their content (and
            // its .msg files) at its next fetch.
            long deadline = System.nanoTime() + 20_000_000_000L;
            long left;
            do {
                System.gc();
                Thread.sleep(50);
                inbox.getMessage(1);
                left = partFiles() - before;
            } while (left > 10 && System.nanoTime() < deadline);
            assertTrue(left <= 10, left + " part files of 60 left");
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    /** The part files in the body parts' private directories of this run's temporary folder. */
    private static long partFiles() throws Exception {
        long count = 0;
        try (java.util.stream.Stream<Path> dirs = Files.list(Paths.get(System.getProperty("java.io.tmpdir")))) {
            for (Path dir : (Iterable<Path>) dirs.filter(d -> d.getFileName().toString().startsWith("mapiparts"))::iterator) {
                try (java.util.stream.Stream<Path> files = Files.list(dir)) {
                    count += files.count();
                }
            }
        }
        return count;
    }

    private static void assertAddresses(Address[] expected, Address[] actual, String what) {
        assertEquals(describe(expected), describe(actual), what);
    }

    private static String describe(Address[] addresses) {
        if (addresses == null) {
            return "none";
        }
        StringBuilder b = new StringBuilder();
        for (Address a : addresses) {
            InternetAddress ia = (InternetAddress) a;
            b.append(ia.getPersonal()).append(" <").append(ia.getAddress().toLowerCase()).append(">;");
        }
        return b.toString();
    }

    private static final String CHARSET = ";charset=[^;,\\[\\]]*";

    /** How many charsets a tree names. */
    private static long charsets(String tree) {
        java.util.regex.Matcher m = java.util.regex.Pattern.compile(CHARSET).matcher(tree);
        java.util.Set<String> seen = new java.util.HashSet<>();
        while (m.find()) {
            seen.add(m.group());
        }
        return seen.size();
    }

    /** A part's tree: each part's type, a text's charset and the disposition, nested. */
    private static String tree(Part part) throws Exception {
        ContentType type = new ContentType(part.getContentType());
        StringBuilder out = new StringBuilder(type.getBaseType().toLowerCase(java.util.Locale.ROOT));
        String charset = type.getParameter("charset");
        if (type.getPrimaryType().equalsIgnoreCase("text") && charset != null) {
            out.append(";charset=").append(charset.toLowerCase(java.util.Locale.ROOT));
        }
        if (part.getDisposition() != null) {
            out.append(";").append(part.getDisposition().toLowerCase(java.util.Locale.ROOT));
        }
        Object content = part.getContent();
        if (content instanceof Multipart) {
            Multipart parts = (Multipart) content;
            out.append("[");
            for (int i = 0; i < parts.getCount(); i++) {
                out.append(i == 0 ? "" : ", ").append(tree(parts.getBodyPart(i)));
            }
            out.append("]");
        }
        return out.toString();
    }
}
