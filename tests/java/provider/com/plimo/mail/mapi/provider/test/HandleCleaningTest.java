package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import javax.activation.DataHandler;
import javax.activation.DataSource;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.Multipart;
import javax.mail.SendFailedException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.Transport;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeBodyPart;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.MimeMultipart;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Native handles that a program never closes are closed once their Java objects are
 * unreachable: folders left open, stores and transports left connected; and the native
 * message of a send is destroyed on every path. Counted by the provider's own count of
 * live handles, and for attached messages by the native library's count.
 */
class HandleCleaningTest {

    private static final String PROFILE = "cleaner";

    @BeforeAll
    static void deliver() throws Exception {
        MailHome.profile(PROFILE);
        MailHome.deliver(PROFILE, MailHome.MAIL.resolve("attached-message.eml"), MailHome.MAIL.resolve("plain.eml"));
    }

    @Test
    void aFolderDroppedOpenIsClosedWithWhatWasOpenedThroughIt() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        try {
            int before = HandleCounts.collectUntil(HandleCounts.providerHandles(), 0);
            int attachedBefore = HandleCounts.attachedMessages();
            readAndDrop(store);
            assertEquals(before + 1, HandleCounts.providerHandles(), "the dropped folder is open");
            assertEquals(attachedBefore + 1, HandleCounts.attachedMessages());
            int left = HandleCounts.collectUntil(before, 30);
            assertEquals(before, left, "the folder's native handle was not closed after it became unreachable");
            // The native folder went, and the attached message opened through it with it.
            assertEquals(attachedBefore, HandleCounts.attachedMessages());
            // The store is untouched and opens the folder again.
            Folder inbox = store.getFolder("INBOX");
            inbox.open(Folder.READ_ONLY);
            assertEquals(2, inbox.getMessageCount());
            inbox.close(false);
        } finally {
            store.close();
        }
    }

    /** Opens the Inbox, reads a message and its attached message, and keeps nothing. */
    private static void readAndDrop(Store store) throws Exception {
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        Message m = inbox.getMessage(1);
        Message attached = (Message) AttachedMessageReadingTest.attachedPart(m).getContent();
        assertEquals("Travel plans", attached.getSubject());
        assertTrue(((Multipart) attached.getContent()).getCount() > 0);
    }

    @Test
    void aStoreDroppedConnectedWithAFolderOpenLogsOff() throws Exception {
        int before = HandleCounts.providerHandles();
        connectAndDrop();
        assertEquals(before + 2, HandleCounts.providerHandles(), "the store and its folder are open");
        int left = HandleCounts.collectUntil(before, 30);
        assertEquals(before, left, "the store's and folder's handles were not closed");
    }

    private static void connectAndDrop() throws Exception {
        Store store = MailHome.session(PROFILE).getStore();
        store.connect();
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        assertEquals(2, inbox.getMessageCount());
    }

    @Test
    void aTransportDroppedConnectedLogsOff() throws Exception {
        int before = HandleCounts.providerHandles();
        connectTransportAndDrop();
        assertEquals(before + 1, HandleCounts.providerHandles());
        assertEquals(before, HandleCounts.collectUntil(before, 30), "the transport's handle was not closed");
    }

    private static void connectTransportAndDrop() throws Exception {
        Transport t = MailHome.session(PROFILE).getTransport();
        t.connect();
    }

    @Test
    void theNativeMessageOfAFailedSendIsDestroyed() throws Exception {
        Session session = MailHome.session(PROFILE);
        Transport t = session.getTransport();
        t.connect();
        try {
            int connected = HandleCounts.providerHandles();
            MimeMessage m = new MimeMessage(session);
            m.setFrom(new InternetAddress(PROFILE + "@example.org"));
            m.setRecipient(Message.RecipientType.TO, new InternetAddress("someone@example.org"));
            m.setSubject("unreadable attachment");
            MimeMultipart mp = new MimeMultipart();
            MimeBodyPart text = new MimeBodyPart();
            text.setText("see the attachment");
            mp.addBodyPart(text);
            MimeBodyPart broken = new MimeBodyPart();
            broken.setDataHandler(new DataHandler(new UnreadableSource()));
            broken.setFileName("broken.bin");
            mp.addBodyPart(broken);
            m.setContent(mp);
            SendFailedException e = assertThrows(SendFailedException.class,
                    () -> t.sendMessage(m, m.getAllRecipients()));
            assertTrue(e.getMessage().contains("cannot be read"), e.getMessage());
            assertEquals(connected, HandleCounts.providerHandles(), "the native message of the send is left");
        } finally {
            t.close();
        }
    }

    /** Data that cannot be read, as a file that vanished or a failing stream. */
    private static final class UnreadableSource implements DataSource {
        @Override
        public InputStream getInputStream() throws IOException {
            throw new IOException("the data cannot be read");
        }

        @Override
        public OutputStream getOutputStream() throws IOException {
            throw new IOException("read-only");
        }

        @Override
        public String getContentType() {
            return "application/octet-stream";
        }

        @Override
        public String getName() {
            return "broken.bin";
        }
    }
}
