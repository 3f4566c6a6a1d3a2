package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.plimo.mail.mapi.testing.StandInFolder;
import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import javax.mail.Header;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.Part;
import javax.mail.internet.ContentDisposition;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class MAPIBodyPartTest {

    private final MAPIMessage message = new MAPIMessage(new StandInFolder(), 1);
    private final MAPIMultipart multipart = new MAPIMultipart(0x10L, message);

    private MAPIBodyPart html() {
        return new MAPIBodyPart(0x20L, multipart, "text/html", "", "<p>Hello</p>", "", 0);
    }

    private MAPIBodyPart text() {
        return new MAPIBodyPart(0x21L, multipart, "text/plain", "", "Hello", "", 0);
    }

    private MAPIBodyPart attachment() {
        return new MAPIBodyPart(0x22L, multipart, "image/png", "attachment", "logo.png", "logo@example", 2048);
    }

    private static List<String> names(java.util.Enumeration<Header> headers) {
        List<String> names = new ArrayList<>();
        for (Header h : Collections.list(headers)) {
            names.add(h.getName());
        }
        return names;
    }

    @Test
    void bodyTextCarriesItsText() throws Exception {
        MAPIBodyPart part = text();
        assertEquals(0x21L, part.getBodyPartPointer());
        assertSame(multipart, part.getParent());
        assertEquals("text/plain", part.getContentType());
        assertTrue(part.isMimeType("text/plain"));
        assertTrue(part.isMimeType("text/*"));
        assertFalse(part.isMimeType("text/html"));
        assertNull(part.getDisposition());
        assertFalse(part.isAttachment());
        assertNull(part.getFileName());
        assertNull(part.getContentID());
        assertEquals(-1, part.getSize());
        assertEquals("Hello", part.getContent());
        assertEquals("<p>Hello</p>", html().getContent());
    }

    @Test
    void attachmentCarriesNameSizeAndContentId() throws Exception {
        MAPIBodyPart part = attachment();
        assertEquals("image/png", part.getContentType());
        assertEquals(Part.ATTACHMENT, part.getDisposition());
        assertTrue(part.isAttachment());
        assertEquals("logo.png", part.getFileName());
        assertEquals("logo@example", part.getContentID());
        assertEquals(2048, part.getSize());
        assertEquals(-1, part.getLineCount());
        assertNull(part.getDescription());
    }

    @Test
    void textAttachmentDataDecodesByItsCharsetElseUtf8ElseLatin1() {
        byte[] latin1 = "Grüße".getBytes(java.nio.charset.StandardCharsets.ISO_8859_1);
        byte[] utf8 = "Grüße".getBytes(java.nio.charset.StandardCharsets.UTF_8);
        assertEquals("Grüße", TextDecoding.decode(latin1, "text/plain; charset=\"iso-8859-1\""));
        assertEquals("Grüße", TextDecoding.decode(utf8, "text/plain; charset=UTF-8"));
        assertEquals("Grüße", TextDecoding.decode(utf8, "text/plain"));
        assertEquals("Grüße", TextDecoding.decode(latin1, "text/csv"));
        assertEquals("Grüße", TextDecoding.decode(utf8, "text/plain; charset=no-such-charset"));
        assertEquals("", TextDecoding.decode(new byte[0], "text/plain; charset=\""));
    }

    @Test
    void attachedMessageKeepsItsContentType() throws Exception {
        MAPIBodyPart part = new MAPIBodyPart(1L, multipart, "message/rfc822", "attachment", "Minutes.msg", "", 900);
        assertTrue(part.isMimeType("message/rfc822"));
        assertEquals("Minutes.msg", part.getFileName());
    }

    @Test
    void missingContentTypeReadsAsOctetStream() {
        MAPIBodyPart part = new MAPIBodyPart(1L, multipart, null, "attachment", "x.bin", "", 1);
        assertEquals("application/octet-stream", part.getContentType());
    }

    @Test
    void headersOfABodyText() throws MessagingException {
        MAPIBodyPart part = text();
        assertArrayEquals(new String[] {"text/plain"}, part.getHeader("content-type"));
        assertNull(part.getHeader("Content-Disposition"));
        assertNull(part.getHeader("Content-ID"));
        assertNull(part.getHeader("X-Anything"));
        assertEquals(List.of("Content-Type"), names(part.getAllHeaders()));
    }

    @Test
    void headersOfAnAttachment() throws Exception {
        MAPIBodyPart part = attachment();
        ContentDisposition disposition = new ContentDisposition(part.getHeader("Content-Disposition")[0]);
        assertEquals("attachment", disposition.getDisposition());
        assertEquals("logo.png", disposition.getParameter("filename"));
        assertArrayEquals(new String[] {"<logo@example>"}, part.getHeader("Content-ID"));
        assertEquals(List.of("Content-Type", "Content-Disposition", "Content-ID"), names(part.getAllHeaders()));
        assertEquals(List.of("Content-ID"), names(part.getMatchingHeaders(new String[] {"content-id"})));
        assertEquals(List.of("Content-Type", "Content-Disposition"),
                names(part.getNonMatchingHeaders(new String[] {"Content-ID"})));
    }

    @Test
    void dataHandlerIsTypedAndNamedLikeThePart() throws MessagingException {
        MAPIBodyPart part = attachment();
        assertEquals("image/png", part.getDataHandler().getContentType());
        assertEquals("logo.png", part.getDataHandler().getName());
    }

    @Test
    void writingAPartOfDiscardedContentIsRefused() {
        MAPIBodyPart part = attachment();
        multipart.discard();
        assertThrows(MessagingException.class, part::getInputStream);
        assertThrows(MessagingException.class, () -> part.writeTo("/tmp/never-written"));
    }

    /**
     * A part whose store holds fixed bytes: it records the pieces asked for (attachment data is
     * read as a stream) and where it was asked to write a whole file (an attached message's
     * .msg file).
     */
    private final class StubAttachment extends MAPIBodyPart {
        final List<String> writes = new ArrayList<>();
        final List<long[]> reads = new ArrayList<>();
        final byte[] data;

        StubAttachment(String type, byte[] data) {
            super(0x22L, multipart, type, "attachment", "report", "", data == null ? 0 : data.length);
            this.data = data;
        }

        @Override
        protected int readData(long offset, byte[] buffer, int start, int length) {
            reads.add(new long[] {offset, length});
            if (offset >= data.length) {
                return -1;
            }
            int n = (int) Math.min(length, data.length - offset);
            System.arraycopy(data, (int) offset, buffer, start, n);
            return n;
        }

        @Override
        protected void writeData(String path) throws MessagingException {
            writes.add(path);
            if (data == null) {
                return;  // a store that wrote nothing
            }
            try {
                // what the store does: the file must not exist yet; it is made private
                Files.write(Files.createFile(Paths.get(path),
                        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"))), data);
            } catch (java.io.IOException e) {
                throw new MessagingException("stub store: " + e, e);
            }
        }
    }

    private static byte[] bytes(int n) {
        byte[] data = new byte[n];
        for (int i = 0; i < n; i++) {
            data[i] = (byte) (i * 31 + (i >> 8));
        }
        return data;
    }

    @Test
    void attachmentDataIsReadFromTheStoreInPiecesWithoutAFile(@TempDir Path dir) throws Exception {
        byte[] data = bytes(200_000);
        StubAttachment part = new StubAttachment("application/pdf", data);
        try (InputStream in = part.getInputStream()) {
            assertArrayEquals(data, in.readAllBytes());
        }
        // each piece goes on where the last one ended, and the end is asked for once
        long expected = 0;
        for (long[] read : part.reads) {
            assertEquals(expected, read[0]);
            expected += Math.min(read[1], data.length - read[0]);
        }
        assertEquals(data.length, expected);
        assertTrue(part.reads.size() <= 1 + data.length / 4096, "pieces: " + part.reads.size());

        // byte by byte, and a large read that goes straight into the caller's array
        try (InputStream in = part.getInputStream()) {
            assertEquals(data[0] & 0xff, in.read());
            assertEquals(data[1] & 0xff, in.read());
            byte[] rest = new byte[data.length];
            int got = 0;
            for (int n; (n = in.read(rest, got, rest.length - got)) > 0; ) {
                got += n;
            }
            assertEquals(data.length - 2, got);
            assertArrayEquals(java.util.Arrays.copyOfRange(data, 2, data.length),
                    java.util.Arrays.copyOf(rest, got));
            assertEquals(-1, in.read());
        }
        // every save reads again, and writes nothing of the store's
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        part.writeTo(out);
        assertArrayEquals(data, out.toByteArray());
        Path saved = dir.resolve("saved.pdf");
        Files.write(saved, new byte[] {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
        part.writeTo(saved.toString());
        assertArrayEquals(data, Files.readAllBytes(saved), "an existing file is replaced whole");
        assertTrue(part.writes.isEmpty(), "no file of the store: " + part.writes);

        InputStream closed = part.getInputStream();
        closed.close();
        assertThrows(java.io.IOException.class, closed::read);
    }

    @Test
    void emptyDataReadsAsAnEmptyStream() throws Exception {
        StubAttachment part = new StubAttachment("text/plain", new byte[0]);
        try (InputStream in = part.getInputStream()) {
            assertEquals(-1, in.read());
            assertEquals(-1, in.read(new byte[10], 0, 10));
            assertEquals(0, in.read(new byte[10], 0, 0));
        }
    }

    @Test
    void aStreamOfContentDiscardedSinceFailsCleanly() throws Exception {
        StubAttachment part = new StubAttachment("application/pdf", bytes(100_000));
        InputStream in = part.getInputStream();
        assertEquals(part.data[0] & 0xff, in.read());
        multipart.discard();
        // what was read already may be used up; the next piece is refused
        java.io.IOException e = assertThrows(java.io.IOException.class, () -> {
            while (in.read() >= 0) {
                // reads on until a piece must come from the store
            }
        });
        assertTrue(e.getCause() instanceof MessagingException, String.valueOf(e.getCause()));
        assertThrows(MessagingException.class, part::getInputStream);
    }

    @Test
    void attachedMessageFileGoesToAFreshNameInADirectoryOnlyTheUserCanEnter() throws Exception {
        byte[] data = "msg file bytes".getBytes(StandardCharsets.US_ASCII);
        StubAttachment part = new StubAttachment("message/rfc822", data);
        try (InputStream in = part.getInputStream()) {
            assertArrayEquals(data, in.readAllBytes());
        }
        assertEquals(1, part.writes.size());
        assertTrue(part.reads.isEmpty(), "a .msg file is not streamed");
        Path written = Paths.get(part.writes.get(0));
        Path directory = written.getParent();
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(directory)));
        assertEquals(Paths.get(System.getProperty("java.io.tmpdir")).toRealPath(), directory.getParent().toRealPath());
        // every later save copies the one file
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        part.writeTo(out);
        assertArrayEquals(data, out.toByteArray());
        assertEquals(1, part.writes.size());

        StubAttachment other = new StubAttachment("message/rfc822", data);
        other.getInputStream().close();
        assertEquals(directory, Paths.get(other.writes.get(0)).getParent(), "one directory serves the process");
        assertFalse(other.writes.get(0).equals(part.writes.get(0)));
    }

    @Test
    void aDirectoryTakenAwayIsMadeAgain() throws Exception {
        Path first = MAPIBodyPart.partDirectory();
        Path name = MAPIBodyPart.newPartFile();
        assertEquals(first, name.getParent());
        assertFalse(Files.exists(name));
        Files.walk(first).sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        Path again = MAPIBodyPart.newPartFile().getParent();
        assertTrue(Files.isDirectory(again));
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(again)));
    }

    @Test
    void aStoreThatWroteNothingIsAnError() {
        StubAttachment part = new StubAttachment("message/rfc822", null);
        MessagingException e = assertThrows(MessagingException.class, part::getInputStream);
        assertTrue(e.getMessage().startsWith("The body part could not be written to "), e.getMessage());
    }

    @Test
    void writeToWithoutFileNameIsAnError() {
        MAPIBodyPart part = attachment();
        assertThrows(MessagingException.class, () -> part.writeTo((String) null));
        assertThrows(MessagingException.class, () -> part.writeTo(""));
    }

    @Test
    void isReadOnly() {
        MAPIBodyPart part = text();
        assertThrows(IllegalWriteException.class, () -> part.setText("x"));
        assertThrows(IllegalWriteException.class, () -> part.setContent("x", "text/plain"));
        assertThrows(IllegalWriteException.class, () -> part.setContent(multipart));
        assertThrows(IllegalWriteException.class, () -> part.setDataHandler(null));
        assertThrows(IllegalWriteException.class, () -> part.setDisposition(Part.INLINE));
        assertThrows(IllegalWriteException.class, () -> part.setDescription("x"));
        assertThrows(IllegalWriteException.class, () -> part.setFileName("x"));
        assertThrows(IllegalWriteException.class, () -> part.setHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> part.addHeader("X-A", "1"));
        assertThrows(IllegalWriteException.class, () -> part.removeHeader("X-A"));
    }
}
