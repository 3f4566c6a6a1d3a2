package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Base64;
import java.util.Locale;
import java.util.Properties;
import javax.mail.Address;
import javax.mail.BodyPart;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeMessage;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Attached messages (message/rfc822 parts) read through javax.mail alone: the content of
 * such a part is a {@link Message} whose headers, bodies and attachments, and attached
 * messages nested in it, read as JavaMail's own parser reads them from the same file.
 */
class AttachedMessageReadingTest {

    private static final String PROFILE = "attached";
    private static final Path NESTED =
            Paths.get(System.getProperty("tolvane.test.providermail")).resolve("nested-attached-message.eml");
    private static Path[] files;

    @BeforeAll
    static void deliver() throws Exception {
        MailHome.profile(PROFILE);
        files = new Path[] {MailHome.MAIL.resolve("attached-message.eml"), NESTED};
        MailHome.deliver(PROFILE, files);
    }

    private static MimeMessage parse(Path file) throws Exception {
        try (InputStream in = Files.newInputStream(file)) {
            return new MimeMessage(Session.getInstance(new Properties()), in);
        }
    }

    @Test
    void attachedMessagesReadAsJavaMailParsesTheSourceFile() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            assertEquals(files.length, inbox.getMessageCount());
            for (int i = 0; i < files.length; i++) {
                MimeMessage expected = parse(files[i]);
                Message actual = inbox.getMessage(i + 1);
                String what = files[i].getFileName().toString();
                String source = describe(expected, "");
                String read = describe(actual, "");
                assertEquals(source, read, what);
                assertNotNull(actual.getReceivedDate(), what + " received");
                // Not vacuous: the nesting is there, with the attachments of the inner messages.
                assertTrue(read.contains("message {"), read);
            }
            assertTrue(describe(inbox.getMessage(2), "").contains("figures.bin application/octet-stream 1024 bytes"));
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void anAttachedMessageIsTheSameObjectEveryTimeAndHasNoFolder() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            Message outer = inbox.getMessage(2);
            BodyPart part = attachedPart(outer);
            assertTrue(part.isMimeType("message/rfc822"));
            Message attached = (Message) part.getContent();
            assertTrue(attached == part.getContent(), "one message per part");
            assertNull(attached.getFolder());
            assertEquals(0, attached.getMessageNumber());
            assertEquals("Fwd: Quarterly numbers", attached.getSubject());
            // As the natives read it, an attached message cannot be deleted.
            Message nativeAttached = (Message) attachedPart(MailHome.natives(outer)).getContent();
            assertThrows(MessagingException.class, () -> nativeAttached.setFlag(Flags.Flag.DELETED, true));
            // Its RFC 822 text reads back the same.
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            attached.writeTo(out);
            MimeMessage reread = new MimeMessage(Session.getInstance(new Properties()),
                    new ByteArrayInputStream(out.toByteArray()));
            assertEquals(describe(attached, ""), describe(reread, ""));
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void theOuterMessagesRfc822TextCarriesItsAttachedMessagesAsMessages() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            Message outer = inbox.getMessage(2);
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            outer.writeTo(out);
            MimeMessage reread = new MimeMessage(Session.getInstance(new Properties()),
                    new ByteArrayInputStream(out.toByteArray()));
            assertEquals(describe(parse(NESTED), ""), describe(reread, ""));
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    @Test
    void aClosedFoldersAttachedMessagesRaiseMessagingExceptionAndAreClosed() throws Exception {
        int before = HandleCounts.attachedMessages();
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            // The native attached messages, as the natives read the message.
            Message attached = (Message) attachedPart(MailHome.natives(inbox.getMessage(2))).getContent();
            Multipart parts = (Multipart) attached.getContent();
            Message inner = (Message) attachedPart(attached).getContent();
            assertEquals("Quarterly numbers", inner.getSubject());
            assertEquals(before + 2, HandleCounts.attachedMessages());
            inbox.close(false);
            assertEquals(before, HandleCounts.attachedMessages(), "the folder's close closed them");
            assertEquals("The folder of this message is closed",
                    assertThrows(MessagingException.class, attached::getSubject).getMessage());
            assertEquals("The folder of this message is closed",
                    assertThrows(MessagingException.class, inner::getSubject).getMessage());
            // The data of its parts is not written any more (the body texts came with the parts).
            assertThrows(MessagingException.class, () -> parts.getBodyPart(parts.getCount() - 1).getInputStream());
        } finally {
            store.close();
        }
    }

    @Test
    void aClosedStoresAttachedMessagesRaiseMessagingException() throws Exception {
        int before = HandleCounts.attachedMessages();
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        Message attached = (Message) attachedPart(MailHome.natives(inbox.getMessage(1))).getContent();
        assertEquals("Travel plans", attached.getSubject());
        store.close();
        assertThrows(MessagingException.class, attached::getSubject);
        assertThrows(MessagingException.class, attached::getContent);
        assertEquals(before, HandleCounts.attachedMessages());
    }

    @Test
    void theOuterMessagesContentReleaseClosesItsAttachedMessages() throws Exception {
        MailHome.profile("attached-release");
        MailHome.deliver("attached-release", NESTED);
        int before = HandleCounts.attachedMessages();
        Store store = MailHome.session("attached-release").getStore();
        store.connect();
        try {
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_WRITE);
            Message outer = inbox.getMessage(1);
            Message attached = (Message) attachedPart(MailHome.natives(outer)).getContent();
            assertEquals(before + 1, HandleCounts.attachedMessages());
            // A change of the delete flag discards the outer message's content, and with it
            // the attached message; the flag goes back, so nothing is deleted.
            outer.setFlag(Flags.Flag.DELETED, true);
            outer.setFlag(Flags.Flag.DELETED, false);
            assertEquals(before, HandleCounts.attachedMessages());
            assertThrows(MessagingException.class, attached::getSubject);
            // Fetched again, the content opens a new one.
            Message again = (Message) attachedPart(MailHome.natives(outer)).getContent();
            assertEquals("Fwd: Quarterly numbers", again.getSubject());
            assertEquals(before + 1, HandleCounts.attachedMessages());
            inbox.close(false);
            assertEquals(before, HandleCounts.attachedMessages());
        } finally {
            store.close();
        }
    }

    /** The first message/rfc822 part of a message's content. */
    static BodyPart attachedPart(Message message) throws Exception {
        Multipart parts = (Multipart) message.getContent();
        for (int i = 0; i < parts.getCount(); i++) {
            if (parts.getBodyPart(i).isMimeType("message/rfc822")) {
                return parts.getBodyPart(i);
            }
        }
        throw new AssertionError("no attached message in " + message.getSubject());
    }

    /**
     * What a reader takes from a message, nested messages included: its headers, first
     * plain-text and HTML bodies, every other leaf as an attachment (name, type, size,
     * digest), and each attached message described the same way, indented.
     */
    static String describe(Message m, String indent) throws MessagingException, IOException {
        StringBuilder b = new StringBuilder();
        b.append(indent).append("subject=").append(m.getSubject()).append('\n');
        b.append(indent).append("from=").append(addresses(m.getFrom())).append('\n');
        b.append(indent).append("to=").append(addresses(m.getRecipients(Message.RecipientType.TO))).append('\n');
        b.append(indent).append("cc=").append(addresses(m.getRecipients(Message.RecipientType.CC))).append('\n');
        b.append(indent).append("sent=").append(m.getSentDate() == null ? "none" : m.getSentDate().getTime())
                .append('\n');
        Leaves leaves = new Leaves(indent);
        leaves.walk(m);
        b.append(indent).append("plain=").append(leaves.plain).append('\n');
        b.append(indent).append("html=").append(leaves.html).append('\n');
        b.append(leaves.rest);
        return b.toString();
    }

    private static final class Leaves {
        private final String indent;
        String plain;
        String html;
        final StringBuilder rest = new StringBuilder();

        Leaves(String indent) {
            this.indent = indent;
        }

        void walk(Part part) throws MessagingException, IOException {
            Object content = part.getContent();
            if (content instanceof Multipart) {
                Multipart mp = (Multipart) content;
                for (int i = 0; i < mp.getCount(); i++) {
                    walk(mp.getBodyPart(i));
                }
                return;
            }
            if (part.isMimeType("message/rfc822")) {
                assertTrue(content instanceof Message, "the content of a message/rfc822 part is a Message, not "
                        + (content == null ? null : content.getClass().getName()));
                rest.append(indent).append("message {\n").append(describe((Message) content, indent + "  "))
                        .append(indent).append("}\n");
                return;
            }
            boolean attachment = Part.ATTACHMENT.equalsIgnoreCase(part.getDisposition()) || part.getFileName() != null;
            if (!attachment && part.isMimeType("text/plain") && plain == null && content instanceof String) {
                plain = FlatView.normalise((String) content);
                return;
            }
            if (!attachment && part.isMimeType("text/html") && html == null && content instanceof String) {
                html = FlatView.normalise((String) content);
                return;
            }
            byte[] data;
            try (InputStream in = part.getInputStream()) {
                data = MailHome.readAll(in);
            }
            String type = part.getContentType().toLowerCase(Locale.ROOT).split(";")[0].trim();
            rest.append(indent).append("attachment ").append(part.getFileName()).append(' ').append(type).append(' ')
                    .append(data.length).append(" bytes sha256=").append(Base64.getEncoder().encodeToString(sha256(data))).append('\n');
        }
    }

    private static byte[] sha256(byte[] data) {
        try {
            return java.security.MessageDigest.getInstance("SHA-256").digest(data);
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    private static String addresses(Address[] list) {
        if (list == null) {
            return "none";
        }
        StringBuilder b = new StringBuilder();
        for (Address a : list) {
            InternetAddress ia = (InternetAddress) a;
            b.append(ia.getPersonal()).append(" <").append(ia.getAddress().toLowerCase(Locale.ROOT)).append(">;");
        }
        return b.toString();
    }

    static {
        assertNotNull(System.getProperty("tolvane.test.providermail"), "tolvane.test.providermail");
    }
}
