<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="en">
<context>
    <name>sendmere::AddressBookWindow</name>
    <message>
        <source>&amp;Type name or select from list:</source>
        <translation>Namen &amp;eingeben oder aus der Liste wählen:</translation>
    </message>
    <message>
        <source>Address book entries</source>
        <translation>Einträge des Adressbuchs</translation>
    </message>
    <message>
        <source>Choice</source>
        <translation>Auswahl</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>sendmere::AddressEntriesModel</name>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
</context>
<context>
    <name>sendmere::CEvent</name>
    <message>
        <source>Please install tiff viewer.</source>
        <translation>Bitte installieren Sie ein Anzeigeprogramm für TIFF-Dateien.</translation>
    </message>
</context>
<context>
    <name>sendmere::Init</name>
    <message>
        <source>Warning:</source>
        <translation>Warnung:</translation>
    </message>
    <message>
        <source>Can&apos;t find scan device. Please install scan or device camera.</source>
        <translation>Kein Scanner gefunden. Bitte installieren Sie einen Scanner oder eine Kamera.</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
</context>
<context>
    <name>sendmere::frmAbout</name>
    <message>
        <source>link</source>
        <translation>Link</translation>
    </message>
    <message>
        <source>Logo</source>
        <translation>Logo</translation>
    </message>
    <message>
        <source>Sends faxes from your mail client through the fax service, keeps your faxes in your mail folders, scans pages into faxes and answers fax calls.</source>
        <translation>Sendet Faxe aus Ihrem E-Mail-Programm über den Faxdienst, legt Ihre Faxe in Ihren E-Mail-Ordnern ab, scannt Seiten als Faxe ein und nimmt Faxanrufe an.</translation>
    </message>
    <message>
        <source>Home Page:</source>
        <translation>Homepage:</translation>
    </message>
    <message>
        <source>For support:</source>
        <translation>Support:</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>&amp;System Info...</source>
        <translation>&amp;Systeminformationen...</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>About Quillpost</source>
        <translation>Über Quillpost</translation>
    </message>
    <message>
        <source>Version %1.%2</source>
        <translation>Version %1.%2</translation>
    </message>
    <message>
        <source>System Information Is Unavailable At This Time</source>
        <translation>Die Systeminformationen sind zurzeit nicht verfügbar</translation>
    </message>
</context>
<context>
    <name>sendmere::frmCover</name>
    <message>
        <source>Send Wizard Dialog</source>
        <translation>Fax-Assistent</translation>
    </message>
    <message>
        <source>Attach</source>
        <translation>Anhängen</translation>
    </message>
    <message>
        <source>Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)|*.doc;*.pdf;*.rtf;*.txt;*.xls;*.xlw|Images (*.bmp, *.jpg, *.gif, *.tif)|*.bmp;*.jpg;*.gif;*.tif|All (*.*)|*.*</source>
        <translation>Dokumente (*.doc, *.pdf, *.txt, *.rtf, *.xls, *.xlw)|*.doc;*.pdf;*.rtf;*.txt;*.xls;*.xlw|Bilder (*.bmp, *.jpg, *.gif, *.tif)|*.bmp;*.jpg;*.gif;*.tif|Alle (*.*)|*.*</translation>
    </message>
    <message>
        <source>Cover Page</source>
        <translation>Deckblatt</translation>
    </message>
    <message>
        <source>Preparing the Cover Page</source>
        <translation>Deckblatt vorbereiten</translation>
    </message>
    <message>
        <source>Select a cover page template, and type a subject line and note if required by the template. The information is automatically to the cover page.</source>
        <translation>Wählen Sie eine Deckblattvorlage und geben Sie, falls die Vorlage es verlangt, einen Betreff und eine Notiz ein. Die Angaben werden automatisch in das Deckblatt übernommen.</translation>
    </message>
    <message>
        <source>Select a cover page template with the following information.</source>
        <translation>Wählen Sie eine Deckblattvorlage mit den folgenden Angaben.</translation>
    </message>
    <message>
        <source>Cover page template:</source>
        <translation>Deckblattvorlage:</translation>
    </message>
    <message>
        <source>Subject line:</source>
        <translation>Betreff:</translation>
    </message>
    <message>
        <source>Note:</source>
        <translation>Notiz:</translation>
    </message>
    <message>
        <source>Cover page preview</source>
        <translation>Vorschau des Deckblatts</translation>
    </message>
    <message>
        <source>Sender Information...</source>
        <translation>Absenderangaben...</translation>
    </message>
    <message>
        <source>Attachment:</source>
        <translation>Anhang:</translation>
    </message>
    <message>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <source>Browse for attachment</source>
        <translation>Anhang suchen</translation>
    </message>
    <message>
        <source>&lt; Back</source>
        <translation>&lt; Zurück</translation>
    </message>
    <message>
        <source>Next &gt;</source>
        <translation>Weiter &gt;</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>(Personal)</source>
        <translation>(Persönlich)</translation>
    </message>
    <message>
        <source>Please enter text in the Note and/or Subject field.</source>
        <translation>Bitte geben Sie einen Text in das Feld Notiz und/oder Betreff ein.</translation>
    </message>
    <message>
        <source>Please add attachment.</source>
        <translation>Bitte fügen Sie einen Anhang hinzu.</translation>
    </message>
</context>
<context>
    <name>sendmere::frmFinish</name>
    <message>
        <source>Finish</source>
        <translation>Fertig stellen</translation>
    </message>
    <message>
        <source>Completing the Send Fax Wizard</source>
        <translation>Fertigstellen des Fax-Assistenten</translation>
    </message>
    <message>
        <source>You have succesfully created a fax as follows:</source>
        <translation>Sie haben folgendes Fax erstellt:</translation>
    </message>
    <message>
        <source>To:</source>
        <translation>An:</translation>
    </message>
    <message>
        <source>Cover page template:</source>
        <translation>Deckblattvorlage:</translation>
    </message>
    <message>
        <source>Subject:</source>
        <translation>Betreff:</translation>
    </message>
    <message>
        <source>Time to send:</source>
        <translation>Sendezeit:</translation>
    </message>
    <message>
        <source>Now</source>
        <translation>Sofort</translation>
    </message>
    <message>
        <source>To send your fax, click Finish.</source>
        <translation>Klicken Sie auf „Fertig stellen“, um das Fax zu senden.</translation>
    </message>
    <message>
        <source>Preview Fax...</source>
        <translation>Faxvorschau...</translation>
    </message>
    <message>
        <source>&lt; Back</source>
        <translation>&lt; Zurück</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Discount period</source>
        <translation>Günstiger Tarif</translation>
    </message>
    <message>
        <source>Recipient Name</source>
        <translation>Name des Empfängers</translation>
    </message>
    <message>
        <source>Fax Number</source>
        <translation>Faxnummer</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Keine</translation>
    </message>
    <message>
        <source>Preparing the fax...</source>
        <translation>Das Fax wird vorbereitet...</translation>
    </message>
    <message>
        <source>Sending Fax</source>
        <translation>Fax senden</translation>
    </message>
    <message>
        <source>Rendering the fax: page %1</source>
        <translation>Das Fax wird aufbereitet: Seite %1</translation>
    </message>
    <message>
        <source>Rendering the fax: page %1 of %2</source>
        <translation>Das Fax wird aufbereitet: Seite %1 von %2</translation>
    </message>
</context>
<context>
    <name>sendmere::frmImport</name>
    <message>
        <source>Import Faxes</source>
        <translation>Faxe importieren</translation>
    </message>
    <message>
        <source>You have many faxes. Import faxes can take a lot of time.</source>
        <translation>Sie haben viele Faxe. Der Import kann lange dauern.</translation>
    </message>
    <message>
        <source>Import all faxes.</source>
        <translation>Alle Faxe importieren.</translation>
    </message>
    <message>
        <source>Import last day faxes.</source>
        <translation>Faxe des letzten Tages importieren.</translation>
    </message>
    <message>
        <source>Import progress</source>
        <translation>Fortschritt des Imports</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>Importieren</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>You haven&apos;t faxes for import.</source>
        <translation>Es gibt keine Faxe zum Importieren.</translation>
    </message>
    <message>
        <source>Import Faxes from FaxConsole successfully.</source>
        <translation>Die Faxe wurden aus der Faxkonsole importiert.</translation>
    </message>
</context>
<context>
    <name>sendmere::frmNew</name>
    <message>
        <source>AddressBook</source>
        <translation>Adressbuch</translation>
    </message>
    <message>
        <source>Choice</source>
        <translation>Auswahl</translation>
    </message>
    <message>
        <source>Please install CDO.</source>
        <translation>Bitte installieren Sie CDO.</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Outlook cannot return a name, because you clicked No on the e-mail address access dialog. You need to try again and click Yes this time.</source>
        <translation>Outlook kann keinen Namen zurückgeben, weil Sie im Dialog zum Zugriff auf E-Mail-Adressen auf Nein geklickt haben. Versuchen Sie es erneut und klicken Sie diesmal auf Ja.</translation>
    </message>
    <message>
        <source>E-mail Address Access</source>
        <translation>Zugriff auf E-Mail-Adressen</translation>
    </message>
    <message>
        <source>Send Fax Wizard</source>
        <translation>Fax-Assistent</translation>
    </message>
    <message>
        <source>New Fax</source>
        <translation>Neues Fax</translation>
    </message>
    <message>
        <source>Recipient Information</source>
        <translation>Empfängerangaben</translation>
    </message>
    <message>
        <source>Enter the name and number of the person you want to send the fax to, or click Address Book to select a recipient.</source>
        <translation>Geben Sie den Namen und die Nummer der Person ein, an die Sie das Fax senden möchten, oder klicken Sie auf „Adressbuch“, um einen Empfänger auszuwählen.</translation>
    </message>
    <message>
        <source>To:</source>
        <translation>An:</translation>
    </message>
    <message>
        <source>Fax Number:</source>
        <translation>Faxnummer:</translation>
    </message>
    <message>
        <source>Address Book...</source>
        <translation>Adressbuch...</translation>
    </message>
    <message>
        <source>To send to multiple recipients, type each recipient&apos;s information above, and then click Add to add the recipient to the list below.</source>
        <translation>Um an mehrere Empfänger zu senden, geben Sie oben die Angaben jedes Empfängers ein und klicken Sie auf „Hinzufügen“, um ihn in die Liste unten aufzunehmen.</translation>
    </message>
    <message>
        <source>Recipients</source>
        <translation>Empfänger</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>Hinzufügen</translation>
    </message>
    <message>
        <source>Edit</source>
        <translation>Bearbeiten</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
    <message>
        <source>&lt; Back</source>
        <translation>&lt; Zurück</translation>
    </message>
    <message>
        <source>Next &gt;</source>
        <translation>Weiter &gt;</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Recipient Name</source>
        <translation>Name des Empfängers</translation>
    </message>
    <message>
        <source>Fax Number</source>
        <translation>Faxnummer</translation>
    </message>
    <message>
        <source>Please enter the  recipient&apos;s name.</source>
        <translation>Bitte geben Sie den Namen des Empfängers ein.</translation>
    </message>
    <message>
        <source>Please enter the  recipient&apos;s fax number.</source>
        <translation>Bitte geben Sie die Faxnummer des Empfängers ein.</translation>
    </message>
</context>
<context>
    <name>sendmere::frmScan</name>
    <message>
        <source>Scan Dialog</source>
        <translation>Scannen</translation>
    </message>
    <message>
        <source>Scan devices</source>
        <translation>Scanner</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Typ</translation>
    </message>
</context>
<context>
    <name>sendmere::frmScanning</name>
    <message>
        <source>Scanning...</source>
        <translation>Scannen...</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>sendmere::frmSend</name>
    <message>
        <source>Send schedule</source>
        <translation>Sendezeitplan</translation>
    </message>
    <message>
        <source>Schedule</source>
        <translation>Zeitplan</translation>
    </message>
    <message>
        <source>Specify when you want your fax to be sent, and set priority.Higher priority faxes will be sent first.</source>
        <translation>Legen Sie fest, wann das Fax gesendet werden soll, und wählen Sie die Priorität. Faxe mit höherer Priorität werden zuerst gesendet.</translation>
    </message>
    <message>
        <source>When do you want to send this fax?</source>
        <translation>Wann möchten Sie dieses Fax senden?</translation>
    </message>
    <message>
        <source>Now</source>
        <translation>Sofort</translation>
    </message>
    <message>
        <source>When discount rates apply</source>
        <translation>Zum günstigen Tarif</translation>
    </message>
    <message>
        <source>Specific time in the next 24 hours:</source>
        <translation>Zu einer Uhrzeit in den nächsten 24 Stunden:</translation>
    </message>
    <message>
        <source>Time to send</source>
        <translation>Sendezeit</translation>
    </message>
    <message>
        <source>What is the fax priority?</source>
        <translation>Welche Priorität hat das Fax?</translation>
    </message>
    <message>
        <source>High</source>
        <translation>Hoch</translation>
    </message>
    <message>
        <source>Normal</source>
        <translation>Normal</translation>
    </message>
    <message>
        <source>Low</source>
        <translation>Niedrig</translation>
    </message>
    <message>
        <source>&lt; Back</source>
        <translation>&lt; Zurück</translation>
    </message>
    <message>
        <source>Next &gt;</source>
        <translation>Weiter &gt;</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>sendmere::frmSender</name>
    <message>
        <source>Your full name:</source>
        <translation>Ihr vollständiger Name:</translation>
    </message>
    <message>
        <source>Fax number:</source>
        <translation>Faxnummer:</translation>
    </message>
    <message>
        <source>E-mail Address:</source>
        <translation>E-Mail-Adresse:</translation>
    </message>
    <message>
        <source>Title:</source>
        <translation>Titel:</translation>
    </message>
    <message>
        <source>Company:</source>
        <translation>Firma:</translation>
    </message>
    <message>
        <source>Office location:</source>
        <translation>Büro:</translation>
    </message>
    <message>
        <source>Department:</source>
        <translation>Abteilung:</translation>
    </message>
    <message>
        <source>Home phone:</source>
        <translation>Telefon privat:</translation>
    </message>
    <message>
        <source>Work phone:</source>
        <translation>Telefon geschäftlich:</translation>
    </message>
    <message>
        <source>Address:</source>
        <translation>Adresse:</translation>
    </message>
    <message>
        <source>Biliing Code:</source>
        <translation>Abrechnungscode:</translation>
    </message>
    <message>
        <source>Sender Information</source>
        <translation>Absenderangaben</translation>
    </message>
    <message>
        <source>This sender information will be included  on your cover page.</source>
        <translation>Diese Absenderangaben erscheinen auf Ihrem Deckblatt.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>sendmere::frmUpdate</name>
    <message>
        <source>Not state</source>
        <translation>Kein Zustand</translation>
    </message>
    <message>
        <source>Resolving Host</source>
        <translation>Server wird gesucht</translation>
    </message>
    <message>
        <source>Host Resolved</source>
        <translation>Server gefunden</translation>
    </message>
    <message>
        <source>Connecting</source>
        <translation>Verbindung wird hergestellt</translation>
    </message>
    <message>
        <source>Connected</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>Requesting</source>
        <translation>Anfrage läuft</translation>
    </message>
    <message>
        <source>Request Sent</source>
        <translation>Anfrage gesendet</translation>
    </message>
    <message>
        <source>Disconnecting</source>
        <translation>Verbindung wird getrennt</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Getrennt</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Connect error. Check yor interner</source>
        <translation>Verbindungsfehler. Prüfen Sie Ihre Internetverbindung</translation>
    </message>
    <message>
        <source>Update not available.</source>
        <translation>Keine Aktualisierung verfügbar.</translation>
    </message>
    <message>
        <source>A new version is available.</source>
        <translation>Eine neue Version ist verfügbar.</translation>
    </message>
    <message>
        <source>Download progress</source>
        <translation>Fortschritt des Herunterladens</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Herunterladen</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Downloaded %1 bytes (%2%)</source>
        <translation>%1 Bytes heruntergeladen (%2%)</translation>
    </message>
    <message>
        <source>Can not download. Try later.</source>
        <translation>Herunterladen nicht möglich. Versuchen Sie es später erneut.</translation>
    </message>
    <message>
        <source>Quillpost update</source>
        <translation>Quillpost-Aktualisierung</translation>
    </message>
</context>
<context>
    <name>sendmere::frmWarning</name>
    <message>
        <source>Quillpost - Warning</source>
        <translation>Quillpost - Warnung</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Warning: This application work only with fax-modem. You fax not installed or not corret setup. Please reinstall your fax.</source>
        <translation>Warnung: Dieses Programm arbeitet nur mit einem Faxmodem. Ihr Fax ist nicht installiert oder nicht richtig eingerichtet. Bitte installieren Sie Ihr Fax neu.</translation>
    </message>
</context>
<context>
    <name>sendmere::imaging::AcquisitionDialog</name>
    <message>
        <source>Scan</source>
        <translation>Scannen</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>sendmere::imaging::Device</name>
    <message>
        <source>The scanner has no setting %1</source>
        <translation>Der Scanner hat keine Einstellung %1</translation>
    </message>
    <message>
        <source>The value of %1 is too long</source>
        <translation>Der Wert von %1 ist zu lang</translation>
    </message>
    <message>
        <source>The setting %1 cannot be changed here</source>
        <translation>Die Einstellung %1 kann hier nicht geändert werden</translation>
    </message>
    <message>
        <source>The scanner refuses %1</source>
        <translation>Der Scanner lehnt %1 ab</translation>
    </message>
</context>
</TS>
