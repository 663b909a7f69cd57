<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="it">
<context>
    <name>AudioSettings</name>
    <message>
        <source>Le impostazioni audio non possono essere scritte in %1</source>
        <translation>The audio settings could not be written to %1</translation>
    </message>
    <message>
        <source>Bisogna scegliere una periferica di ingresso e una di uscita</source>
        <translation>Both an input and an output device must be chosen</translation>
    </message>
</context>
<context>
    <name>CapturePipeline</name>
    <message>
        <source>Il filtro del microfono (speexdsp) non si avvia</source>
        <translation>The microphone filter (speexdsp) does not start</translation>
    </message>
</context>
<context>
    <name>EchoCanceller</name>
    <message>
        <source>Il filtro contro l&apos;eco non si avvia</source>
        <translation>The echo canceller could not start</translation>
    </message>
</context>
<context>
    <name>Module1</name>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>I dati della stanza ricevuti dal master sono incompleti: impossibile entrare nella stanza</source>
        <translation>The room data received from the master is incomplete: the room cannot be entered</translation>
    </message>
    <message>
        <source>I dati della stanza contengono il carattere &quot;+&quot;: impossibile entrare nella stanza</source>
        <translation>The room data contains the character &quot;+&quot;: the room cannot be entered</translation>
    </message>
    <message>
        <source>Impossibile aprire una sessione audio</source>
        <translation>An audio session could not be opened</translation>
    </message>
    <message>
        <source>La stanza già esiste</source>
        <translation>The room already exists</translation>
    </message>
    <message>
        <source>Non è possibile creare la stanza</source>
        <translation>The room cannot be created</translation>
    </message>
    <message>
        <source>Impossibile creare la stanza</source>
        <translation>The room could not be created</translation>
    </message>
    <message>
        <source>Non e&apos; possibile creare la stanza</source>
        <translation>The room cannot be created</translation>
    </message>
    <message>
        <source>Nome stanza già esistente</source>
        <translation>A room with this name already exists</translation>
    </message>
    <message>
        <source>Attenzione</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>Impossibile Trovare il file Masters.txt 
Tentativo di recupero della configurazione precedente</source>
        <translation>The file Masters.txt could not be found 
Trying to recover the previous configuration</translation>
    </message>
    <message>
        <source>Il file Masters.txt risulta corrotto</source>
        <translation>The file Masters.txt is damaged</translation>
    </message>
    <message>
        <source>&lt;System Message&gt; </source>
        <translation>&lt;System Message&gt; </translation>
    </message>
    <message>
        <source>&lt;System Message&gt; La richiesta di invito è stata accettata. Sono in corso le procedure di creazione della nuova stanza.... </source>
        <translation>&lt;System Message&gt; The invitation has been accepted. The new room is being created.... </translation>
    </message>
    <message>
        <source>&lt;System Message&gt; La richiesta di invito è stata rifiutata </source>
        <translation>&lt;System Message&gt; The invitation has been refused </translation>
    </message>
    <message>
        <source>L&apos;utente ha accettato la richiesta</source>
        <translation>The user has accepted the request</translation>
    </message>
    <message>
        <source>L&apos;utente ha rifiutato la richiesta</source>
        <translation>The user has refused the request</translation>
    </message>
    <message>
        <source>Inserimento in Contact List</source>
        <translation>Adding to the Contact List</translation>
    </message>
    <message>
        <source>Invito in chat privata</source>
        <translation>Invitation to a private chat</translation>
    </message>
    <message>
        <source>Il Programma non pùo proseguire l&apos;esecuzione</source>
        <translation>The program cannot go on</translation>
    </message>
    <message>
        <source>Il master non ha risposto in tempo</source>
        <translation>The master did not answer in time</translation>
    </message>
    <message>
        <source> L&apos;utente %1 ti ha invitato in una stanza privata.<byte value="xd"/> Vuoi accettare la richiesta? </source>
        <translation> The user %1 has invited you to a private room.<byte value="xd"/> Do you accept the request? </translation>
    </message>
    <message>
        <source> L&apos;utente %1 ti vuole aggiungere nella propria contact list.<byte value="xd"/> Vuoi accettare la richiesta? </source>
        <translation> The user %1 wants to add you to their contact list.<byte value="xd"/> Do you accept the request? </translation>
    </message>
</context>
<context>
    <name>OpusCodec</name>
    <message>
        <source>La durata di un pacchetto voce deve essere 10 o 20 ms</source>
        <translation>A voice frame must last 10 or 20 ms</translation>
    </message>
    <message>
        <source>Codificatore Opus: %1</source>
        <translation>Opus encoder: %1</translation>
    </message>
    <message>
        <source>Decodificatore Opus: %1</source>
        <translation>Opus decoder: %1</translation>
    </message>
</context>
<context>
    <name>QtAudioBackend</name>
    <message>
        <source>Nessuna periferica audio disponibile (il server audio è avviato?)</source>
        <translation>No audio devices are available (is the audio server running?)</translation>
    </message>
    <message>
        <source>La periferica %1 non accetta audio a 48 kHz mono 16 bit</source>
        <translation>The device %1 does not accept 48 kHz mono 16-bit audio</translation>
    </message>
    <message>
        <source>La periferica audio %1 non è presente</source>
        <translation>The audio device %1 is not present</translation>
    </message>
    <message>
        <source>nessun errore</source>
        <translation>no error</translation>
    </message>
    <message>
        <source>la periferica non si apre</source>
        <translation>the device could not be opened</translation>
    </message>
    <message>
        <source>lettura o scrittura sulla periferica fallita</source>
        <translation>reading or writing the device failed</translation>
    </message>
    <message>
        <source>la periferica è rimasta senza dati</source>
        <translation>the device ran out of data</translation>
    </message>
    <message>
        <source>la periferica ha smesso di funzionare</source>
        <translation>the device stopped working</translation>
    </message>
    <message>
        <source>errore audio sconosciuto</source>
        <translation>unknown audio error</translation>
    </message>
    <message>
        <source>Registrazione: %1</source>
        <translation>Capture: %1</translation>
    </message>
    <message>
        <source>Riproduzione: %1</source>
        <translation>Playback: %1</translation>
    </message>
</context>
<context>
    <name>SyntheticAudioBackend</name>
    <message>
        <source>Nessuna periferica audio disponibile</source>
        <translation>No audio devices are available</translation>
    </message>
    <message>
        <source>La periferica audio %1 non è presente</source>
        <translation>The audio device %1 is not present</translation>
    </message>
    <message>
        <source>La periferica è occupata</source>
        <translation>The device is busy</translation>
    </message>
</context>
<context>
    <name>VoiceEngine</name>
    <message>
        <source>Il motore voce è già collegato</source>
        <translation>The voice engine is already connected</translation>
    </message>
    <message>
        <source>Non è ancora stata scelta nessuna periferica audio</source>
        <translation>No audio devices have been chosen yet</translation>
    </message>
    <message>
        <source>Nessuna periferica audio disponibile (il server audio è avviato?)</source>
        <translation>No audio devices are available (is the audio server running?)</translation>
    </message>
    <message>
        <source>La periferica di ingresso scelta %1 non è più presente</source>
        <translation>The chosen input device %1 is no longer present</translation>
    </message>
    <message>
        <source>La periferica di uscita scelta %1 non è più presente</source>
        <translation>The chosen output device %1 is no longer present</translation>
    </message>
    <message>
        <source>La voce si può inviare solo a tutta la stanza</source>
        <translation>Voice can only be sent to everyone in the room</translation>
    </message>
</context>
<context>
    <name>frmChat</name>
    <message>
        <source>Chat</source>
        <translation>Chat</translation>
    </message>
    <message>
        <source>Invia</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>Nascondi</source>
        <translation>Hide</translation>
    </message>
    <message>
        <source>Ignora Utente</source>
        <translation>Ignore User</translation>
    </message>
    <message>
        <source>Chiudi</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>frmChat2</name>
    <message>
        <source>Chat</source>
        <translation>Chat</translation>
    </message>
    <message>
        <source>Invia</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>Invita</source>
        <translation>Invite</translation>
    </message>
    <message>
        <source>Nascondi</source>
        <translation>Hide</translation>
    </message>
    <message>
        <source>Ignora Utente</source>
        <translation>Ignore User</translation>
    </message>
    <message>
        <source>Chiudi</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>frmClient</name>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Menù principale</source>
        <translation>Main menu</translation>
    </message>
    <message>
        <source>Connetti</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Lista &amp;Stanze</source>
        <translation>&amp;Room List</translation>
    </message>
    <message>
        <source>Contact List</source>
        <translation>Contact List</translation>
    </message>
    <message>
        <source>Crea Stanza</source>
        <translation>Create Room</translation>
    </message>
    <message>
        <source>Informazioni</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>Opzioni</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>Esci</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Label1</source>
        <translation>Label1</translation>
    </message>
</context>
<context>
    <name>frmImpostaAudio</name>
    <message>
        <source>Impostazione audio</source>
        <translation>Audio set-up</translation>
    </message>
    <message>
        <source>Scegli il microfono e l&apos;altoparlante da usare nelle stanze.</source>
        <translation>Choose the microphone and the speaker to use in the rooms.</translation>
    </message>
    <message>
        <source>Microfono</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>Altoparlante</source>
        <translation>Speaker</translation>
    </message>
    <message>
        <source>Prova il suono</source>
        <translation>Test the sound</translation>
    </message>
    <message>
        <source>Salva</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Annulla</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Cancellazione dell&apos;eco</source>
        <translation>Echo cancellation</translation>
    </message>
    <message>
        <source>Toglie dal microfono la voce degli altri che esce dall&apos;altoparlante: serve quando non si usano le cuffie.</source>
        <translation>Takes the others&apos; voices coming out of the speaker off the microphone: needed when no headphones are used.</translation>
    </message>
</context>
<context>
    <name>frmListaStanze</name>
    <message>
        <source>Lista delle stanze disponibili</source>
        <translation>List of the available rooms</translation>
    </message>
    <message>
        <source>Stanze</source>
        <translation>Rooms</translation>
    </message>
    <message>
        <source>&amp;Aggiorna</source>
        <translation>&amp;Refresh</translation>
    </message>
    <message>
        <source>&amp;Entra</source>
        <translation>&amp;Enter</translation>
    </message>
    <message>
        <source>A&amp;nnulla</source>
        <translation>Ca&amp;ncel</translation>
    </message>
    <message>
        <source>&amp;Chiudi</source>
        <translation>&amp;Close</translation>
    </message>
</context>
<context>
    <name>frmListaUtenti</name>
    <message>
        <source>Contact List</source>
        <translation>Contact List</translation>
    </message>
    <message>
        <source>Utenti della contact list</source>
        <translation>Users of the contact list</translation>
    </message>
    <message>
        <source>Menù contact list</source>
        <translation>Contact list menu</translation>
    </message>
    <message>
        <source>Aggiorna</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Aggiungi</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>Elimina</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>Contatta</source>
        <translation>Contact</translation>
    </message>
    <message>
        <source>Annulla</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Chiudi</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>frmLogin</name>
    <message>
        <source>Informazioni di accesso</source>
        <translation>Login details</translation>
    </message>
    <message>
        <source>Modifica le informazioni di accesso</source>
        <translation>Change the login details</translation>
    </message>
    <message>
        <source>User Name</source>
        <translation>User Name</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Salva</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Chiudi</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>frmNewUser</name>
    <message>
        <source>Attivazione del servizio</source>
        <translation>Service activation</translation>
    </message>
    <message>
        <source> Informazioni per la registrazione </source>
        <translation> Registration details </translation>
    </message>
    <message>
        <source>UserName</source>
        <translation>UserName</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Conferma Password</source>
        <translation>Confirm Password</translation>
    </message>
    <message>
        <source>EMail</source>
        <translation>EMail</translation>
    </message>
    <message>
        <source> Sei un ...... </source>
        <translation> You are a ...... </translation>
    </message>
    <message>
        <source>Nuovo utente</source>
        <translation>New user</translation>
    </message>
    <message>
        <source>Utente già registrato</source>
        <translation>Already registered</translation>
    </message>
    <message>
        <source>Utilizzo dei dati</source>
        <translation>Use of the data</translation>
    </message>
    <message>
        <source> Trattamento dei dati </source>
        <translation> Processing of the data </translation>
    </message>
    <message>
        <source>INFORMATIVA SUL TRATTAMENTO DEI DATI PERSONALI

Titolare del trattamento è il gestore di questo servizio Kalimo, che si può contattare all&apos;indirizzo di posta elettronica indicato sul sito del servizio.

I dati richiesti da questo modulo (nome utente, password ed indirizzo email) servono unicamente a creare e a gestire il tuo accesso al servizio di conferenze vocali: il nome utente è visibile agli altri utenti quando sei collegato, la password serve solo a riconoscerti al momento dell&apos;accesso, l&apos;indirizzo email serve a contattarti per questioni che riguardano il tuo account.

I dati sono conservati sul server del servizio per il tempo in cui il tuo account resta attivo e non sono comunicati a terzi. Il conferimento dei dati è necessario per usare il servizio: senza di essi la registrazione non può essere eseguita.

In ogni momento puoi chiedere al titolare di accedere ai tuoi dati, di correggerli o di cancellarli, e di limitarne il trattamento; puoi inoltre proporre reclamo all&apos;autorità di controllo per la protezione dei dati personali.</source>
        <translation>NOTICE ON THE PROCESSING OF PERSONAL DATA

The controller of the data is the operator of this Kalimo service, who can be reached at the e-mail address given on the service&apos;s web site.

The data this form asks for (user name, password and e-mail address) serve only to create and manage your access to the voice-conference service: the user name is visible to the other users while you are connected, the password serves only to recognise you when you log in, the e-mail address serves to contact you about matters concerning your account.

The data are kept on the service&apos;s server for as long as your account stays active and are not passed on to third parties. Giving the data is necessary to use the service: without them the registration cannot be carried out.

At any time you may ask the controller to access your data, to correct or delete them, and to restrict their processing; you may also lodge a complaint with the supervisory authority for the protection of personal data.</translation>
    </message>
    <message>
        <source>Compilando ed inviando il presente modulo elettronico il/la sottoscritto/a, letta l&apos;informativa qui sopra, acconsente al trattamento dei propri dati personali per le finalità in essa indicate.</source>
        <translation>By filling in and sending this electronic form the undersigned, having read the notice above, consents to the processing of their personal data for the purposes stated in it.</translation>
    </message>
    <message>
        <source>&amp;Invia</source>
        <translation>&amp;Send</translation>
    </message>
    <message>
        <source>&amp;Annulla</source>
        <translation>&amp;Cancel</translation>
    </message>
</context>
<context>
    <name>frmNuovaStanza</name>
    <message>
        <source>Creazione nuova stanza</source>
        <translation>Creating a new room</translation>
    </message>
    <message>
        <source>Nome Stanza</source>
        <translation>Room Name</translation>
    </message>
    <message>
        <source>Max Utenti</source>
        <translation>Max Users</translation>
    </message>
    <message>
        <source>numero massimo di partecipanti alla stanza</source>
        <translation>most people the room holds</translation>
    </message>
    <message>
        <source>Max Audio</source>
        <translation>Max Audio</translation>
    </message>
    <message>
        <source>numero massimo di utenti che possono parlare simultaneamente</source>
        <translation>most users who may speak at the same time</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Crea</source>
        <translation>Create</translation>
    </message>
    <message>
        <source>Annulla</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Procedure per la creazione della stanza privata in corso.......</source>
        <translation>The private room is being created.......</translation>
    </message>
</context>
<context>
    <name>frmSplash</name>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Conferenze vocali su Internet</source>
        <translation>Voice conferences on the Internet</translation>
    </message>
    <message>
        <source>Entra nelle stanze, ascolta e parla con chi vuoi.</source>
        <translation>Enter the rooms, listen and talk with whomever you like.</translation>
    </message>
    <message>
        <source>Entra &gt;&gt;&gt;&gt;</source>
        <translation>Enter &gt;&gt;&gt;&gt;</translation>
    </message>
    <message>
        <source>Versione 2.0b per Linux</source>
        <translation>Version 2.0b for Linux</translation>
    </message>
</context>
<context>
    <name>frmVoiceClient</name>
    <message>
        <source>Kalimo</source>
        <translation>Kalimo</translation>
    </message>
    <message>
        <source> Utenti collegati</source>
        <translation> Users connected</translation>
    </message>
    <message>
        <source>0</source>
        <translation>0</translation>
    </message>
    <message>
        <source>/</source>
        <translation>/</translation>
    </message>
    <message>
        <source> Utenti che stanno parlando</source>
        <translation> Users speaking</translation>
    </message>
    <message>
        <source>Per prendere la parola premi il tasto Ctrl</source>
        <translation>To take the floor press the Ctrl key</translation>
    </message>
    <message>
        <source>Microfono</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>Parlo</source>
        <translation>Talking</translation>
    </message>
    <message>
        <source>Utenti nella Stanza</source>
        <translation>Users in the Room</translation>
    </message>
    <message>
        <source>Invita in privato</source>
        <translation>Invite privately</translation>
    </message>
    <message>
        <source>   Messaggio in            privato</source>
        <translation>Private message</translation>
    </message>
    <message>
        <source> Menù </source>
        <translation> Menu </translation>
    </message>
    <message>
        <source>Parla sempre</source>
        <translation>Always talk</translation>
    </message>
    <message>
        <source>Premi e parla</source>
        <translation>Push to talk</translation>
    </message>
    <message>
        <source>Pausa</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>&amp;Chiudi</source>
        <translation>&amp;Close</translation>
    </message>
    <message>
        <source>Apri Chat Pubblica</source>
        <translation>Open Public Chat</translation>
    </message>
    <message>
        <source>Trasmissione</source>
        <translation>Transmission</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>Manuale</source>
        <translation>Manual</translation>
    </message>
    <message>
        <source>Min</source>
        <translation>Min</translation>
    </message>
    <message>
        <source>Max</source>
        <translation>Max</translation>
    </message>
    <message>
        <source>Ricezione</source>
        <translation>Reception</translation>
    </message>
</context>
<context>
    <name>kalimo::Avvio</name>
    <message>
        <source>utenti massimi</source>
        <translation>most users</translation>
    </message>
    <message>
        <source>utenti che possono parlare</source>
        <translation>users who may speak</translation>
    </message>
    <message>
        <source>minuti di aggiornamento del banner</source>
        <translation>banner refresh minutes</translation>
    </message>
    <message>
        <source>Il programma va avviato da Kalimo: la riga di comando ha %1 campi separati da &quot;+&quot; invece di %2.</source>
        <translation>The program must be started by Kalimo: the command line has %1 fields separated by &quot;+&quot; instead of %2.</translation>
    </message>
    <message>
        <source>Il programma va avviato da Kalimo: il campo %1 (%2) della riga di comando non e&apos; un numero valido: &quot;%3&quot;.</source>
        <translation>The program must be started by Kalimo: field %1 (%2) of the command line is not a valid number: &quot;%3&quot;.</translation>
    </message>
    <message>
        <source>Il programma va avviato da Kalimo: la porta della stanza nella riga di comando non e&apos; valida: &quot;%1&quot;.</source>
        <translation>The program must be started by Kalimo: the room port in the command line is not valid: &quot;%1&quot;.</translation>
    </message>
</context>
<context>
    <name>kalimo::Stanza</name>
    <message>
        <source>La Stanza ha raggiunto il numero massimo di utenti</source>
        <translation>The Room has reached its largest number of users</translation>
    </message>
    <message>
        <source>Utente gia assegnato alla stanza</source>
        <translation>User already in the room</translation>
    </message>
    <message>
        <source>Nick Utente non trovato</source>
        <translation>User nick not found</translation>
    </message>
    <message>
        <source>La Stanza ha raggiunto il numero massimo di utenti parlanti</source>
        <translation>The Room has reached its largest number of speaking users</translation>
    </message>
    <message>
        <source>Nick Name</source>
        <translation>Nick Name</translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>Parlante</source>
        <translation>Speaking</translation>
    </message>
    <message>
        <source>IPAddress</source>
        <translation>IPAddress</translation>
    </message>
    <message>
        <source>SI</source>
        <translation>YES</translation>
    </message>
    <message>
        <source>NO</source>
        <translation>NO</translation>
    </message>
    <message>
        <source>La grafica non e&apos; stata attivata per questa istanza di stanza oppure non e&apos; stata assegnata una griglia a questa istanza</source>
        <translation>Graphics have not been enabled for this room, or no grid has been given to it</translation>
    </message>
    <message>
        <source>La stanza e&apos; gia connessa ad un server</source>
        <translation>The room is already connected to a server</translation>
    </message>
    <message>
        <source>Si Sta&apos; gia effettuando una connessione al server</source>
        <translation>A connection to the server is already being made</translation>
    </message>
    <message>
        <source>Il Winsock non e&apos; stato attivato o il controllo winsock non e&apos; stato assegnato</source>
        <translation>The socket has not been started or no socket has been given</translation>
    </message>
    <message>
        <source>La stanza non e&apos; connessa ad un server per cui non puo inviare l&apos;identificazione</source>
        <translation>The room is not connected to a server, so it cannot send its identification</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::CollegamentoMaster</name>
    <message>
        <source>connessione cifrata non riuscita</source>
        <translation>the encrypted connection failed</translation>
    </message>
    <message>
        <source>il certificato non corrisponde all&apos;impronta indicata</source>
        <translation>the certificate does not match the given fingerprint</translation>
    </message>
    <message>
        <source>il certificato del master e&apos; scaduto</source>
        <translation>the master&apos;s certificate has expired</translation>
    </message>
    <message>
        <source>il certificato del master non e&apos; ancora valido</source>
        <translation>the master&apos;s certificate is not valid yet</translation>
    </message>
    <message>
        <source>il certificato e&apos; di un altro server</source>
        <translation>the certificate belongs to another server</translation>
    </message>
    <message>
        <source>il certificato non e&apos; garantito da un&apos;autorita&apos; riconosciuta</source>
        <translation>the certificate is not vouched for by a recognised authority</translation>
    </message>
    <message>
        <source>il certificato del master non e&apos; valido</source>
        <translation>the master&apos;s certificate is not valid</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmChat2</name>
    <message>
        <source>Chat Privata con </source>
        <translation>Private Chat with </translation>
    </message>
    <message>
        <source>&lt;System Message&gt; Messaggio non inviato: non si è connessi al master</source>
        <translation>&lt;System Message&gt; Message not sent: not connected to the master</translation>
    </message>
    <message>
        <source>&lt;System Message&gt; La richiesta di invito è stata inoltrata.... </source>
        <translation>&lt;System Message&gt; The invitation has been sent.... </translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmClient</name>
    <message>
        <source>Kalimo 2.0b - (</source>
        <translation>Kalimo 2.0b - (</translation>
    </message>
    <message>
        <source>Connetti</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Non Connesso.</source>
        <translation>Not Connected.</translation>
    </message>
    <message>
        <source>Clicca su &apos;Connetti&apos; per entrare nel servizio.</source>
        <translation>Click &apos;Connect&apos; to enter the service.</translation>
    </message>
    <message>
        <source>Disconnessione in corso</source>
        <translation>Disconnecting</translation>
    </message>
    <message>
        <source>Disconnetti</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>Connesso al master </source>
        <translation>Connected to the master </translation>
    </message>
    <message>
        <source>Servizio non disponibile; Nessuno dei server ha risposto alla connessione.</source>
        <translation>Service not available; None of the servers answered the connection.</translation>
    </message>
    <message>
        <source>Connessione al Master Eseguita</source>
        <translation>Connected to the Master</translation>
    </message>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Username o Password errati</source>
        <translation>Wrong Username or Password</translation>
    </message>
    <message>
        <source>Il Master ha raggiunto il numero massimo di utenti</source>
        <translation>The Master has reached its largest number of users</translation>
    </message>
    <message>
        <source>Non si e&apos; abilitati ad usare questo master</source>
        <translation>You are not allowed to use this master</translation>
    </message>
    <message>
        <source>Il tuo username risulta gia&apos; collegato. Ritenta tra qualche minuto</source>
        <translation>Your username is already connected. Try again in a few minutes</translation>
    </message>
    <message>
        <source>Il tuo username risulta gia&apos; collegato. Attendere e rirpovare</source>
        <translation>Your username is already connected. Wait and try again</translation>
    </message>
    <message>
        <source>Autenticatore non in linea</source>
        <translation>Authenticator not on line</translation>
    </message>
    <message>
        <source>La tua versione del client Kalimo non e&apos; piu&apos; compatibile con la versione corrente dei master; Collegati al sito </source>
        <translation>Your version of the Kalimo client no longer works with the masters&apos; current version; Go to the site </translation>
    </message>
    <message>
        <source> e scarica la versione aggiornata</source>
        <translation> and download the new version</translation>
    </message>
    <message>
        <source>Attenzione!!!</source>
        <translation>Warning!!!</translation>
    </message>
    <message>
        <source>In Connessione al master </source>
        <translation>Connecting to the master </translation>
    </message>
    <message>
        <source>Impossibile contattare il master </source>
        <translation>Cannot reach the master </translation>
    </message>
    <message>
        <source>Invio della password in corso.....</source>
        <translation>Sending the password.....</translation>
    </message>
    <message>
        <source>La Connessione al Master è andata perduta</source>
        <translation>The Connection to the Master has been lost</translation>
    </message>
    <message>
        <source>Non connesso</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>Connesso</source>
        <translation>Connected</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmListaStanze</name>
    <message>
        <source>Lista delle stanze disponibili</source>
        <translation>List of the available rooms</translation>
    </message>
    <message>
        <source>Stanze</source>
        <translation>Rooms</translation>
    </message>
    <message>
        <source>Utenti</source>
        <translation>Users</translation>
    </message>
    <message>
        <source>Creata da</source>
        <translation>Created by</translation>
    </message>
    <message>
        <source>Psw</source>
        <translation>Psw</translation>
    </message>
    <message>
        <source>Non si è connessi al master</source>
        <translation>Not connected to the master</translation>
    </message>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Operazione annullata</source>
        <translation>Operation cancelled</translation>
    </message>
    <message>
        <source>Il master non ha risposto in tempo</source>
        <translation>The master did not answer in time</translation>
    </message>
    <message>
        <source>Non ci sono stanze attualmente</source>
        <translation>There are no rooms at the moment</translation>
    </message>
    <message>
        <source>La stanza ha esaurito il numero di posti disponibili</source>
        <translation>The room has no places left</translation>
    </message>
    <message>
        <source>Informazione</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Richiesta Password di accesso</source>
        <translation>Access Password Required</translation>
    </message>
    <message>
        <source>Inserire la password per il collegamento alla stanza </source>
        <translation>Enter the password to connect to the room </translation>
    </message>
    <message>
        <source>Attenzione!!! la password non è corretta</source>
        <translation>Warning!!! the password is not correct</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmListaUtenti</name>
    <message>
        <source>Contact List</source>
        <translation>Contact List</translation>
    </message>
    <message>
        <source>Utenti della contact list</source>
        <translation>Users of the contact list</translation>
    </message>
    <message>
        <source>Utente</source>
        <translation>User</translation>
    </message>
    <message>
        <source>Stato</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Connesso</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>Non Connesso</source>
        <translation>Not Connected</translation>
    </message>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Non si è connessi al master</source>
        <translation>Not connected to the master</translation>
    </message>
    <message>
        <source>Il master non ha risposto in tempo</source>
        <translation>The master did not answer in time</translation>
    </message>
    <message>
        <source>Operazione annullata</source>
        <translation>Operation cancelled</translation>
    </message>
    <message>
        <source>Aggiungi a Contact List</source>
        <translation>Add to Contact List</translation>
    </message>
    <message>
        <source>Indica il nome dell&apos;utente da aggiungere nella tua contact list</source>
        <translation>Give the name of the user to add to your contact list</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmLogin</name>
    <message>
        <source>Inserire una UserName di almeno 3 caratteri alfanumerici</source>
        <translation>Enter a UserName of at least 3 letters or digits</translation>
    </message>
    <message>
        <source>Informazione</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Inserire una Password di almeno 3 caratteri alfanumerici</source>
        <translation>Enter a Password of at least 3 letters or digits</translation>
    </message>
    <message>
        <source>Salvare le impostazioni correnti?</source>
        <translation>Save the current settings?</translation>
    </message>
    <message>
        <source>Salvataggio</source>
        <translation>Saving</translation>
    </message>
    <message>
        <source>Impossibile salvare le impostazioni nel file User.ini</source>
        <translation>The settings could not be saved in the file User.ini</translation>
    </message>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmNewUser</name>
    <message>
        <source>Indicare una username di almeno 3 caratteri</source>
        <translation>Give a username of at least 3 characters</translation>
    </message>
    <message>
        <source>Indicare una password di almeno 3 caratteri</source>
        <translation>Give a password of at least 3 characters</translation>
    </message>
    <message>
        <source>Le password inserite non coincidono</source>
        <translation>The passwords entered do not match</translation>
    </message>
    <message>
        <source>Inserire una email</source>
        <translation>Enter an e-mail address</translation>
    </message>
    <message>
        <source>Servizio non disponibile; Nessuno dei server ha risposto alla connessione.</source>
        <translation>Service not available; None of the servers answered the connection.</translation>
    </message>
    <message>
        <source>Connesso al master: </source>
        <translation>Connected to the master: </translation>
    </message>
    <message>
        <source>Registrazione Eseguita</source>
        <translation>Registration Done</translation>
    </message>
    <message>
        <source>Registrazione eseguita correttamente</source>
        <translation>Registration completed</translation>
    </message>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Esiste già un utente con questo nome</source>
        <translation>A user with this name already exists</translation>
    </message>
    <message>
        <source>Servizio di autenticazione non disponibile. Ripetere l&apos;operazione in un secondo momento.</source>
        <translation>Authentication service not available. Try again later.</translation>
    </message>
    <message>
        <source>Nome utente o password non corretti</source>
        <translation>User name or password not correct</translation>
    </message>
    <message>
        <source>La registrazione e&apos; stata effettuata correttamente</source>
        <translation>The registration has been completed</translation>
    </message>
    <message>
        <source>Impossibile salvare le impostazioni nel file User.ini</source>
        <translation>The settings could not be saved in the file User.ini</translation>
    </message>
    <message>
        <source>In Connessione al master: </source>
        <translation>Connecting to the master: </translation>
    </message>
    <message>
        <source>Impossibile contattare il master: </source>
        <translation>Cannot reach the master: </translation>
    </message>
    <message>
        <source>Invio dei dati in corso...</source>
        <translation>Sending the data...</translation>
    </message>
</context>
<context>
    <name>kalimo::lobby::frmNuovaStanza</name>
    <message>
        <source>Kalimo 2.0b</source>
        <translation>Kalimo 2.0b</translation>
    </message>
    <message>
        <source>Inserire un nome per la stanza</source>
        <translation>Enter a name for the room</translation>
    </message>
    <message>
        <source>Specificare il numero massimo di utenti per la stanza</source>
        <translation>Give the largest number of users for the room</translation>
    </message>
    <message>
        <source>Specificare il numero massimo di utenti che possono parlare simultaneamente</source>
        <translation>Give the largest number of users who may speak at the same time</translation>
    </message>
    <message>
        <source>Il nome e la password della stanza non possono contenere il carattere &quot;+&quot;</source>
        <translation>The room name and password cannot contain the character &quot;+&quot;</translation>
    </message>
    <message>
        <source>La stanza già esiste</source>
        <translation>The room already exists</translation>
    </message>
    <message>
        <source>Non è possibile creare la stanza</source>
        <translation>The room cannot be created</translation>
    </message>
    <message>
        <source>Impossibile creare la stanza</source>
        <translation>The room could not be created</translation>
    </message>
</context>
<context>
    <name>kalimo::session::SessionClient</name>
    <message>
        <source>Il collegamento di rete della stanza non si avvia.</source>
        <translation>The room&apos;s network connection does not start.</translation>
    </message>
    <message>
        <source>L&apos;indirizzo della stanza %1 non è stato trovato.</source>
        <translation>The room address %1 could not be found.</translation>
    </message>
    <message>
        <source>L&apos;indirizzo della stanza non è un indirizzo IPv4.</source>
        <translation>The room address is not an IPv4 address.</translation>
    </message>
</context>
<context>
    <name>kalimo::voce::CanaleMedia</name>
    <message>
        <source>Nessun sistema audio disponibile</source>
        <translation>No audio system is available</translation>
    </message>
</context>
<context>
    <name>kalimo::voce::frmChat</name>
    <message>
        <source>Chat Pubblica della Stanza</source>
        <translation>Public Room Chat</translation>
    </message>
    <message>
        <source>Collegato con </source>
        <translation>Connected with </translation>
    </message>
</context>
<context>
    <name>kalimo::voce::frmImpostaAudio</name>
    <message>
        <source>Non e&apos; stata trovata nessuna periferica audio: collega un microfono e un altoparlante e riprova.</source>
        <translation>No audio device was found: connect a microphone and a speaker and try again.</translation>
    </message>
    <message>
        <source>La periferica audio scelta non funziona: </source>
        <translation>The chosen audio device does not work: </translation>
    </message>
</context>
<context>
    <name>kalimo::voce::frmVoiceClient</name>
    <message>
        <source>Sei collegato alla stanza </source>
        <translation>You are in the room </translation>
    </message>
    <message>
        <source>Audio attivo</source>
        <translation>Audio on</translation>
    </message>
    <message>
        <source>Audio in pausa</source>
        <translation>Audio paused</translation>
    </message>
    <message>
        <source>Impossibile connettersi alla stanza; problema sull&apos;enumerazione degli host</source>
        <translation>Cannot connect to the room; the room host could not be found</translation>
    </message>
    <message>
        <source>Errore</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Non e&apos; possibile collegarsi alla stanza, </source>
        <translation>The room cannot be joined, </translation>
    </message>
    <message>
        <source>la password della stanza non e&apos; corretta</source>
        <translation>the room password is not correct</translation>
    </message>
    <message>
        <source>nella stanza c&apos;e&apos; gia&apos; un utente con il tuo nome</source>
        <translation>a user with your name is already in the room</translation>
    </message>
    <message>
        <source>il master non ha autorizzato l&apos;accesso con questo nome</source>
        <translation>the master did not authorize access with this name</translation>
    </message>
    <message>
        <source>i posti disponibili sono tutti occupati</source>
        <translation>all its places are taken</translation>
    </message>
    <message>
        <source>La periferica Audio non funziona correttamente</source>
        <translation>The Audio device does not work properly</translation>
    </message>
    <message>
        <source>oppure non e&apos; possibile inizializzare le DirectX </source>
        <translation>or the audio system cannot be started </translation>
    </message>
    <message>
        <source>Error:</source>
        <translation>Error:</translation>
    </message>
    <message>
        <source> Error Description: </source>
        <translation> Error Description: </translation>
    </message>
    <message>
        <source>Errore Fatale</source>
        <translation>Fatal Error</translation>
    </message>
    <message>
        <source>La connessione alla stanza e&apos; terminata.</source>
        <translation>The connection to the room has ended.</translation>
    </message>
    <message>
        <source>Uscita</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>L&apos;Utente </source>
        <translation>The User </translation>
    </message>
    <message>
        <source> non ha accettato l&apos;invito</source>
        <translation> has not accepted the invitation</translation>
    </message>
    <message>
        <source>L&apos;utente </source>
        <translation>The user </translation>
    </message>
    <message>
        <source> ha accettato il tuo l&apos;invito.</source>
        <translation> has accepted your invitation.</translation>
    </message>
    <message>
        <source>Cliccando su OK verrà creata la stanza</source>
        <translation>Clicking OK creates the room</translation>
    </message>
    <message>
        <source>Volume…</source>
        <translation>Volume…</translation>
    </message>
    <message>
        <source>Riattiva</source>
        <translation>Unmute</translation>
    </message>
    <message>
        <source>Silenzia</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>Volume</source>
        <translation>Volume</translation>
    </message>
    <message>
        <source>Volume di %1, da 0 a 200 %:</source>
        <translation>Volume of %1, from 0 to 200 %:</translation>
    </message>
    <message>
        <source>Il volume deve essere un numero da 0 a 200.</source>
        <translation>The volume must be a number from 0 to 200.</translation>
    </message>
    <message>
        <source> ti invita in privato; </source>
        <translation> invites you privately; </translation>
    </message>
    <message>
        <source>Accetti?</source>
        <translation>Do you accept?</translation>
    </message>
    <message>
        <source>Invito</source>
        <translation>Invitation</translation>
    </message>
    <message>
        <source>Non puoi parlare</source>
        <translation>You cannot speak</translation>
    </message>
</context>
</TS>
